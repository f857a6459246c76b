"""What the command reads and prints: its inputs, its JSON answers and its failures."""

from __future__ import annotations

import json
import sys
from typing import IO, Any

EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2

# Inputs are read up to one byte past these limits, so a larger one is named, not read whole.
TOKEN_LIMIT = 64 * 1024
LOG_LIMIT = 256 * 1024 * 1024


class Failure(Exception):
    """A failure reported on stderr (and in --json's object) with its exit code."""

    code = EXIT_REFUSED
    prefix = "quorvex: "

    def __init__(self, message: str, **members: Any) -> None:
        super().__init__(message)
        self.members = members


class Refused(Failure):
    """A refusal to report on stderr with exit code 1."""


class Usage(Failure):
    """A command line that cannot be run, reported with exit code 2."""

    code = EXIT_USAGE
    prefix = "quorvex: error: "


def _size(limit: int) -> str:
    for unit, size in (("MiB", 1024 * 1024), ("KiB", 1024)):
        if limit >= size and limit % size == 0:
            return f"{limit // size} {unit}"
    return f"{limit} bytes"


def _decode(data: bytes, name: str, limit: int) -> str:
    if len(data) > limit:
        raise Usage(f"cannot read {name}: larger than {_size(limit)}")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise Usage(f"cannot read {name}: not UTF-8 text (byte 0x{data[e.start]:02x} at "
                    f"offset {e.start})") from None


def _read_stdin(limit: int) -> str:
    stream = sys.stdin
    if stream is None:
        raise Usage("no standard input to read from")
    try:
        binary: IO[bytes] | None = getattr(stream, "buffer", None)
        if binary is not None:
            data = binary.read(limit + 1)
        else:
            data = stream.read(limit + 1).encode("utf-8", "surrogatepass")
    except OSError as e:
        raise Usage(f"cannot read standard input: {e}") from None
    return _decode(data, "standard input", limit)


def _read_input(text: str, limit: int | None = None) -> str:
    """A token (or log) given on the command line, or read from standard input for "-"."""
    limit = TOKEN_LIMIT if limit is None else limit
    if text != "-":
        if len(text.encode("utf-8")) > limit:
            raise Usage(f"argument TOKEN: larger than {_size(limit)}")
        return text
    return _read_stdin(limit).strip()


def _read_file(path: str, limit: int) -> str:
    try:
        with open(path, "rb") as f:
            data = f.read(limit + 1)
    except (OSError, ValueError) as e:
        raise Usage(f"cannot read {path}: {e}") from None
    return _decode(data, path, limit)


def _ascii_only(stream: IO[str] | None) -> bool:
    encoding = getattr(stream, "encoding", None) or "utf-8"
    return encoding.lower().replace("_", "-") not in ("utf-8", "utf8")


def _json_text(value: Any) -> str:
    # Escaped to ASCII only where stdout could not carry the characters themselves.
    return json.dumps(value, indent=2, ensure_ascii=_ascii_only(sys.stdout), allow_nan=False)


def _print_json(value: Any) -> None:
    print(_json_text(value))


# Characters that would break a message's one line (or drive the terminal), as escapes.
_CONTROLS = {code: f"\\x{code:02x}" for code in [*range(0x20), 0x7F, 0x85]}
_CONTROLS.update({ord("\t"): "\\t", ord("\n"): "\\n", ord("\r"): "\\r",
                  0x2028: "\\u2028", 0x2029: "\\u2029"})


def _shown(text: str) -> str:
    """text on one line: bytes that are no UTF-8, lone surrogates and controls as escapes."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        raw = text.encode("utf-8", "backslashreplace")
    return raw.decode("utf-8", "backslashreplace").translate(_CONTROLS)


def _report(failure: Failure, as_json: bool) -> int:
    message = _shown(str(failure))
    print(f"{failure.prefix}{message}", file=sys.stderr)
    if as_json:
        _print_json({**failure.members, "ok": False, "code": failure.code, "error": message})
    return failure.code
