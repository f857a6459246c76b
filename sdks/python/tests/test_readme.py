"""Every Python code block of README.md runs as written.

Each ```python block runs on its own, in a fresh namespace, in an empty working directory with
HOME pointing at an empty directory. A block that is a fragment on purpose is marked by the line
`<!-- not run -->` right before its fence (blank lines between are allowed); keep those rare.
"""
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[3] / "README.md"
NOT_RUN = "<!-- not run -->"
PYTHON = {"python", "python3", "py"}


def python_blocks():
    """(line of the fence, code) for each Python block not marked, in README order."""
    lines = README.read_text(encoding="utf-8").splitlines()
    blocks, fence = [], None
    for number, line in enumerate(lines, 1):
        if fence is None:
            opening = re.match(r"(`{3,}|~{3,})\s*([^\s`]*)", line)
            if opening:
                fence, info, start, body = opening.group(1), opening.group(2).lower(), number, []
        elif re.fullmatch(re.escape(fence[0]) + "{%d,}\\s*" % len(fence), line):
            before = [text.strip() for text in lines[:start - 1] if text.strip()]
            if info in PYTHON and not (before and before[-1] == NOT_RUN):
                blocks.append((start, "\n".join(body)))
            fence = None
        else:
            body.append(line)
    assert fence is None, f"README.md: the block opened at line {start} is never closed"
    return blocks


BLOCKS = python_blocks()


def test_readme_has_python_blocks():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("line,code", BLOCKS, ids=[f"line {line}" for line, _ in BLOCKS])
def test_readme_block_runs(tmp_path, monkeypatch, line, code):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("USERPROFILE", raising=False)
    monkeypatch.chdir(tmp_path)
    # Leading line breaks make a traceback name the block's lines in README.md.
    exec(compile("\n" * line + code, str(README), "exec"), {"__name__": "__readme__"})
