"""quorvex: agent identities and delegation tokens from the shell.

Every rule (identifiers, documents, signatures, timing, scopes, constraints) is the
module's; this package reads the command line, calls the module and prints its answers.

Exit codes:
  0  done; for `token verify`, the token is accepted; for `receipts verify`, every
     receipt of the log checks out
  1  refused: the module's message, or an identity directory that is already taken,
     is printed on stderr
  2  the command line cannot be run: an unknown command or option, a missing or
     malformed argument, a key in none of the accepted forms, an unreadable input
     (missing, not UTF-8 text, or past its size limit: 64 KiB for a token, 256 MiB for
     a log), an argument that is not UTF-8 text

Every failure is one line on stderr starting "quorvex: ", never a traceback.

With --json anywhere on the command line, stdout holds exactly one JSON object, whatever
the outcome (strict JSON: no NaN or Infinity, no lone surrogates; UTF-8). A success prints
the command's own object. A failure prints

  {"ok": false, "code": <exit code>, "error": "<the message stderr shows after its prefix>"}

and, for `token verify` and `receipts verify` refusals, "accepted": false or "valid": false
beside those members. --help with --json prints {"help": "<the help text>"}.
"""

from ._main import main

__all__ = ["main"]
