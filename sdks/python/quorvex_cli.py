"""quorvex: agent identities and delegation tokens from the shell.

Every rule (identifiers, documents, signatures, timing, scopes, constraints) is the
module's; this file reads the command line, calls the module and prints its answers.

Exit codes:
  0  done; for `token verify`, the token is accepted; for `receipts verify`, every
     receipt of the log checks out
  1  refused: the module's message, or an identity directory that is already taken,
     is printed on stderr
  2  the command line cannot be run: an unknown command or option, a missing or
     malformed argument, a key in none of the accepted forms, an unreadable input
"""

from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
import re
import sys
from typing import Any, NoReturn, Sequence

from quorvex import DAT, AgentIdentity, EvaluationContext, ReceiptLog

EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2
_BASE58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
_BASE64URL = re.compile("[A-Za-z0-9_-]*")
_HEX64 = re.compile("[0-9A-Fa-f]{64}")


class Refused(Exception):
    """A refusal to report on stderr with exit code 1."""


class Usage(Exception):
    """A command line that cannot be run, reported with exit code 2."""


def _home() -> str:
    # The home directory as AgentIdentity.save finds it: HOME, then USERPROFILE, then ".".
    for name in ("HOME", "USERPROFILE"):
        value = os.environ.get(name)
        if value is not None:
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                continue
            return value
    return "."


def _expand(path: str) -> str:
    # A leading "~" as AgentIdentity.save and load read it: the home directory, no user lookup.
    return _home() + path[1:] if path.startswith("~") else path


def _identity_dir(name: str, given: str | None) -> str:
    """The directory AgentIdentity.save(given) writes for the local name `name`."""
    if given is None:
        return os.path.join(_home(), ".quorvex", "identities", name)
    return _expand(given)


def _read_input(text: str) -> str:
    """A token (or log) given on the command line, or read from standard input for "-"."""
    if text != "-":
        return text
    if sys.stdin is None:
        raise Usage("no standard input to read from")
    try:
        return sys.stdin.read().strip()
    except (OSError, UnicodeDecodeError) as e:
        raise Usage(f"cannot read standard input: {e}") from None


def _base58(text: str) -> bytes | None:
    number = 0
    for char in text:
        digit = _BASE58.find(char)
        if digit < 0:
            return None
        number = number * 58 + digit
    zeros = len(text) - len(text.lstrip("1"))
    return bytes(zeros) + number.to_bytes((number.bit_length() + 7) // 8, "big")


def _public_key(text: str) -> bytes:
    """--key as multibase ("z" and base58btc), 64 hex digits, or an identity directory."""
    if _HEX64.fullmatch(text):
        return bytes.fromhex(text)
    if text.startswith("z"):
        decoded = _base58(text[1:])
        if decoded is not None and len(decoded) == 32:
            return decoded
    if os.path.isdir(_expand(text)):
        return _load(text).public_key_bytes
    raise Usage(f"argument --key: not a multibase public key, 64 hex digits or an identity "
                f"directory: {text}")


def _load(path: str) -> AgentIdentity:
    try:
        return AgentIdentity.load(path)
    except (ValueError, RuntimeError) as e:
        raise Refused(f"{path}: {e}") from None


def _print_json(value: Any) -> None:
    print(json.dumps(value, indent=2, ensure_ascii=False))


def _show_identity(identity: AgentIdentity, directory: str, as_json: bool) -> None:
    aid = identity.aid()
    multibase = identity.keypair().public_key_multibase
    document = aid.to_json()
    if as_json:
        _print_json({"did": aid.did, "public_key_multibase": multibase,
                     "directory": os.path.abspath(directory), "document": json.loads(document)})
        return
    print(f"did:        {aid.did}")
    print(f"public key: {multibase}")
    print(f"directory:  {os.path.abspath(directory)}")
    print("document:")
    print(document)


def identity_create(args: argparse.Namespace) -> int:
    try:
        if args.domain is None:
            identity = AgentIdentity.create(args.name)
        else:
            identity = AgentIdentity.create(args.name, domain=args.domain)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    directory = _identity_dir(args.name, args.dir)
    # save() replaces secret.key: never let a second create destroy an identity's only key.
    if os.path.lexists(os.path.join(directory, "secret.key")):
        raise Refused(f"{directory} already holds an identity (secret.key); "
                      "remove it or choose another --dir")
    try:
        identity.save(directory)
    except RuntimeError as e:
        raise Refused(str(e)) from None
    _show_identity(identity, directory, args.json)
    return EXIT_OK


def identity_show(args: argparse.Namespace) -> int:
    _show_identity(_load(args.path), _expand(args.path), args.json)
    return EXIT_OK


def token_issue(args: argparse.Namespace) -> int:
    identity = _load(args.identity)
    try:
        if args.expires is None:
            token = identity.issue_dat(args.subject, args.scope)
        else:
            token = identity.issue_dat(args.subject, args.scope, args.expires)
        compact = token.to_compact()
    except OverflowError as e:
        raise Usage(f"argument --expires: {e}") from None
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    if args.json:
        _print_json({"token": compact, "jti": token.jti, "issuer": token.issuer,
                     "subject": token.subject, "scope": token.scope,
                     "expires_at": token.expires_at})
    else:
        print(compact)
    return EXIT_OK


def _segment(part: str, what: str) -> Any:
    try:
        if not _BASE64URL.fullmatch(part):
            raise ValueError("not base64url")
        return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)).decode())
    except (binascii.Error, ValueError, RecursionError) as e:
        raise Refused(f"not a compact token: cannot decode its {what}: {e}") from None


def token_inspect(args: argparse.Namespace) -> int:
    parts = _read_input(args.token).split(".")
    if len(parts) != 3:
        raise Refused(f"not a compact token: {len(parts)} parts separated by '.', not 3")
    header, claims = _segment(parts[0], "header"), _segment(parts[1], "claims")
    if args.json:
        _print_json({"verified": False, "header": header, "claims": claims})
        return EXIT_OK
    print("NOT VERIFIED: shown as decoded; the signature, timing and scopes are not checked.")
    print("header:")
    _print_json(header)
    print("claims:")
    _print_json(claims)
    return EXIT_OK


def _context(args: argparse.Namespace) -> EvaluationContext:
    ctx = EvaluationContext()
    ctx.request_ip = args.ip
    ctx.country_code = args.country
    for option, attribute, value in (("--trust", "agent_trust_level", args.trust),
                                     ("--depth", "delegation_depth", args.depth),
                                     ("--actions", "actions_in_window", args.actions)):
        if value is None:
            continue
        try:
            setattr(ctx, attribute, value)
        except OverflowError as e:
            raise Usage(f"argument {option}: {value} is out of range ({e})") from None
    return ctx


def token_verify(args: argparse.Namespace) -> int:
    compact = _read_input(args.token)
    ctx = _context(args)
    key = _public_key(args.key)
    try:
        token = DAT.from_compact(compact)
        token.verify(key, args.scope, ctx)
    except (ValueError, RuntimeError) as e:
        if args.json:
            _print_json({"accepted": False, "error": str(e)})
        raise Refused(str(e)) from None
    if args.json:
        _print_json({"accepted": True, "jti": token.jti, "issuer": token.issuer,
                     "subject": token.subject, "scope": args.scope})
    else:
        print(f"accepted: {args.scope} for {token.subject}, issued by {token.issuer}")
    return EXIT_OK


def receipts_verify(args: argparse.Namespace) -> int:
    key = _public_key(args.key)
    if args.log == "-":
        text = _read_input("-")
    else:
        try:
            with open(args.log, encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as e:
            raise Usage(f"cannot read {args.log}: {e}") from None
    try:
        count = ReceiptLog.audit(text, key)
    except (ValueError, RuntimeError) as e:
        if args.json:
            _print_json({"valid": False, "error": str(e)})
        raise Refused(str(e)) from None
    if args.json:
        _print_json({"valid": True, "receipts": count})
    else:
        print(f"valid: {count} receipt{'' if count == 1 else 's'}, every link and signature "
              "checked")
    return EXIT_OK


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", description="Agent identities and delegation tokens.",
                     epilog="Exit codes: 0 done (token accepted), 1 refused (the reason on "
                     "stderr), 2 a command line that cannot be run.")
    commands = parser.add_subparsers(dest="group", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    def json_option(p: argparse.ArgumentParser) -> None:
        p.add_argument("--json", action="store_true", help="print one JSON object instead")

    def key_option(p: argparse.ArgumentParser, whose: str) -> None:
        p.add_argument("--key", metavar="KEY", required=True,
                       help=f"{whose} public key: multibase (z...), 64 hex digits, or an "
                       "identity directory")

    identity = commands.add_parser("identity", help="create or show an agent identity")
    identity_commands = identity.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                                parser_class=_Parser)
    create = identity_commands.add_parser(
        "create", help="create an identity and save it",
        description="Create an identity (key pair and AID document) and save it to a directory. "
        "Prints its DID, public key and document.")
    create.add_argument("name", metavar="NAME", help="the local name, e.g. alice")
    create.add_argument("--domain", metavar="D", help="domain of the DID (default: the module's)")
    create.add_argument("--dir", metavar="PATH",
                        help="directory to save into (default: ~/.quorvex/identities/NAME); "
                        "refused if it already holds an identity")
    json_option(create)
    create.set_defaults(run=identity_create)
    show = identity_commands.add_parser(
        "show", help="show a saved identity",
        description="Print the DID, public key and document of a saved identity.")
    show.add_argument("path", metavar="PATH", nargs="?", default=".",
                      help="identity directory (default: the current directory)")
    json_option(show)
    show.set_defaults(run=identity_show)

    token = commands.add_parser("token", help="issue, inspect or verify a delegation token")
    token_commands = token.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                          parser_class=_Parser)
    issue = token_commands.add_parser(
        "issue", help="issue a token signed by an identity",
        description="Issue a delegation token signed by a saved identity; prints it compact.")
    issue.add_argument("--identity", metavar="PATH", required=True,
                       help="directory of the issuing identity")
    issue.add_argument("--subject", metavar="DID", required=True, help="DID of the agent")
    issue.add_argument("--scope", metavar="S", action="append", required=True,
                       help="a granted scope, e.g. mcp:tool:filesystem:read (repeatable)")
    issue.add_argument("--expires", metavar="SECONDS", type=int,
                       help="lifetime in seconds (default: 3600)")
    json_option(issue)
    issue.set_defaults(run=token_issue)
    inspect = token_commands.add_parser(
        "inspect", help="print a token's header and claims, unchecked",
        description="Print a token's header and claims as JSON without checking anything.")
    inspect.add_argument("token", metavar="TOKEN", help="compact token, or - for stdin")
    json_option(inspect)
    inspect.set_defaults(run=token_inspect)
    verify = token_commands.add_parser(
        "verify", help="verify a token for one scope",
        description="Check a token's signature, timing, scope and constraints. Exits 0 when it "
        "is accepted; otherwise prints the reason and exits 1.")
    verify.add_argument("token", metavar="TOKEN", help="compact token, or - for stdin")
    key_option(verify, "issuer's")
    verify.add_argument("--scope", metavar="S", required=True, help="the scope requested")
    verify.add_argument("--ip", metavar="A", help="the caller's IP address")
    verify.add_argument("--country", metavar="C", help="the caller's country code")
    verify.add_argument("--trust", metavar="N", type=int, help="the agent's trust level")
    verify.add_argument("--depth", metavar="N", type=int, help="delegation depth (default: 0)")
    verify.add_argument("--actions", metavar="N", type=int,
                        help="actions already taken in the rate-limit window (default: 0)")
    json_option(verify)
    verify.set_defaults(run=token_verify)

    receipts = commands.add_parser("receipts", help="audit a printed receipt log")
    receipts_commands = receipts.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                                parser_class=_Parser)
    audit = receipts_commands.add_parser(
        "verify", help="check every link and signature of a printed log",
        description="Audit a log printed by ReceiptLog.to_json: re-derive every hash link and "
        "check every signature against the agent's public key. Exits 0 with the count of "
        "receipts, or names the first bad one and exits 1.")
    audit.add_argument("log", metavar="LOG.json", help="the printed log, or - for stdin")
    key_option(audit, "the agent's")
    json_option(audit)
    audit.set_defaults(run=receipts_verify)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args)
        return code
    except Refused as e:
        print(f"quorvex: {e}", file=sys.stderr)
        return EXIT_REFUSED
    except Usage as e:
        print(f"quorvex: error: {e}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader left early (quorvex ... | head): stop without a traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_REFUSED


if __name__ == "__main__":
    sys.exit(main())
