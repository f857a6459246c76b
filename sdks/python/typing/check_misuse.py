"""Runs `mypy --strict` on misuse.py; passes when mypy reports exactly the marked lines.

A line marked `# E: code` (or `# E: code, code`) must be reported with those error codes and
every unmarked line must stay clean, so a stub that is too loose or too strict fails.
"""

import re
import subprocess
import sys
from pathlib import Path

SOURCE = Path(__file__).with_name("misuse.py")
REPORTED = re.compile(r"^.*misuse\.py:(\d+): error: .*\[([\w-]+)\]$")


def main() -> int:
    expected = set()
    for number, line in enumerate(SOURCE.read_text().splitlines(), 1):
        marker = re.search(r"# E: ([\w, -]+)$", line)
        if marker:
            expected |= {(number, code.strip()) for code in marker.group(1).split(",")}
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--strict-bytes",
                           "--no-error-summary", "--show-error-codes", str(SOURCE)],
                          capture_output=True, text=True)
    reported = {(int(m.group(1)), m.group(2))
                for m in map(REPORTED.match, done.stdout.splitlines()) if m}
    missed, extra = sorted(expected - reported), sorted(reported - expected)
    if done.returncode == 1 and not missed and not extra:
        print(f"misuse.py: mypy reported all {len(expected)} misuses and nothing else")
        return 0
    print(done.stdout + done.stderr, end="")
    print(f"mypy exited {done.returncode}; not reported: {missed}; reported unmarked: {extra}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
