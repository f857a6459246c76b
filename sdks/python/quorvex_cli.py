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

from __future__ import annotations

import argparse
import contextlib
import errno
import io
import json
import os
import sys
from typing import IO, Any, NoReturn, Sequence

from quorvex import DAT, AgentIdentity, EvaluationContext, KeyPair, ReceiptLog

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


class _CommandLineError(Exception):
    """argparse's refusal of a command line, reported as argparse words it."""

    def __init__(self, parser: argparse.ArgumentParser, message: str) -> None:
        super().__init__(message)
        self.parser = parser


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


def _public_key(text: str) -> bytes:
    """--key as multibase ("z" and base58btc), 64 hex digits, or an identity directory."""
    try:
        return KeyPair.public_key_from(text)
    except ValueError:
        pass
    try:
        return AgentIdentity.load(text).public_key_bytes
    except (ValueError, RuntimeError) as e:
        # A directory that holds no usable identity is the module's refusal; anything else
        # is no key at all.
        if os.path.isdir(text):
            raise Refused(f"{text}: {e}") from None
    raise Usage(f"argument --key: not a multibase public key, 64 hex digits or an identity "
                f"directory: {text}")


def _load(path: str) -> AgentIdentity:
    try:
        return AgentIdentity.load(path)
    except (ValueError, RuntimeError) as e:
        raise Refused(f"{path}: {e}") from None


def _ascii_only(stream: IO[str] | None) -> bool:
    encoding = getattr(stream, "encoding", None) or "utf-8"
    return encoding.lower().replace("_", "-") not in ("utf-8", "utf8")


def _json_text(value: Any) -> str:
    # Escaped to ASCII only where stdout could not carry the characters themselves.
    return json.dumps(value, indent=2, ensure_ascii=_ascii_only(sys.stdout), allow_nan=False)


def _print_json(value: Any) -> None:
    print(_json_text(value))


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
        directory = identity.save_path(args.dir)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    # save_new, unlike save, never replaces an identity's only key.
    try:
        identity.save_new(directory)
    except FileExistsError:
        raise Refused(f"{directory} already holds an identity (secret.key); "
                      "remove it or choose another --dir") from None
    except (OSError, ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    _show_identity(identity, directory, args.json)
    return EXIT_OK


def identity_show(args: argparse.Namespace) -> int:
    identity = _load(args.path)
    _show_identity(identity, identity.save_path(args.path), args.json)
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


def _claims(token: DAT) -> dict[str, Any]:
    """The claims as the module read them, under the token's own member names."""
    claims: dict[str, Any] = {
        "iss": token.issuer, "sub": token.subject, "iat": token.issued_at,
        "exp": token.expires_at, "nbf": token.not_before, "jti": token.jti, "scope": token.scope}
    constraints = token.constraints
    if constraints:
        claims["constraints"] = constraints
    if token.config_attestation is not None:
        claims["configAttestation"] = token.config_attestation
    if token.delegation_chain is not None:
        claims["delegationChain"] = token.delegation_chain
    return claims


def token_inspect(args: argparse.Namespace) -> int:
    compact = _read_input(args.token)
    try:
        token = DAT.from_compact(compact)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    # from_compact reads only EdDSA tokens; of the header's other members the module shows kid.
    header = {"alg": "EdDSA", "kid": token.key_id}
    claims = _claims(token)
    if args.json:
        _print_json({"verified": False, "header": header, "claims": claims})
        return EXIT_OK
    print("NOT VERIFIED: shown as decoded; the signature, timing and scopes are not checked.\n"
          f"header:\n{_json_text(header)}\nclaims:\n{_json_text(claims)}")
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
        raise Refused(str(e), accepted=False) from None
    if args.json:
        _print_json({"accepted": True, "jti": token.jti, "issuer": token.issuer,
                     "subject": token.subject, "scope": args.scope})
    else:
        print(f"accepted: {args.scope} for {token.subject}, issued by {token.issuer}")
    return EXIT_OK


def receipts_verify(args: argparse.Namespace) -> int:
    key = _public_key(args.key)
    if args.log == "-":
        text = _read_input("-", LOG_LIMIT)
    else:
        text = _read_file(args.log, LOG_LIMIT)
    try:
        count = ReceiptLog.audit(text, key)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e), valid=False) from None
    if args.json:
        _print_json({"valid": True, "receipts": count})
    else:
        print(f"valid: {count} receipt{'' if count == 1 else 's'}, every link and signature "
              "checked")
    return EXIT_OK


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _CommandLineError(self, message)


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


def _json_requested(arguments: Sequence[str]) -> bool:
    """Whether argparse would read --json (or an abbreviation of it) from the arguments."""
    for argument in arguments:
        if argument == "--":
            return False
        if len(argument) >= 3 and "--json".startswith(argument):
            return True
    return False


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


def _check_arguments(arguments: Sequence[str]) -> None:
    for number, argument in enumerate(arguments, 1):
        if not isinstance(argument, str):
            raise Usage(f"argument {number} is not text: {type(argument).__name__}")
        try:
            argument.encode("utf-8")
        except UnicodeEncodeError:
            raise Usage(f"argument {number} is not UTF-8 text: {_shown(argument)}") from None


def _parse(arguments: Sequence[str], as_json: bool) -> argparse.Namespace:
    if not as_json:
        return _parser().parse_args(arguments)
    # Help goes into the one JSON object rather than before it.
    shown = io.StringIO()
    try:
        with contextlib.redirect_stdout(shown):
            return _parser().parse_args(arguments)
    except SystemExit as e:
        if e.code not in (0, None):
            raise
        _print_json({"help": shown.getvalue()})
        raise


def _report(failure: Failure, as_json: bool) -> int:
    message = _shown(str(failure))
    print(f"{failure.prefix}{message}", file=sys.stderr)
    if as_json:
        _print_json({**failure.members, "ok": False, "code": failure.code, "error": message})
    return failure.code


def _run(arguments: Sequence[str], as_json: bool) -> int:
    try:
        _check_arguments(arguments)
        try:
            args = _parse(arguments, as_json)
        except SystemExit as e:
            # --help: argparse has printed it and asks to stop.
            return e.code if isinstance(e.code, int) else EXIT_OK
        except _CommandLineError as e:
            sys.stderr.write(e.parser.format_usage())
            print(f"{e.parser.prog}: error: {_shown(str(e))}", file=sys.stderr)
            if as_json:
                _print_json({"ok": False, "code": EXIT_USAGE, "error": _shown(str(e))})
            return EXIT_USAGE
        as_json = bool(getattr(args, "json", as_json))
        code: int = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return code
    except Failure as e:
        return _report(e, as_json)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    as_json = _json_requested(arguments)
    if isinstance(sys.stdout, io.TextIOWrapper) and _ascii_only(sys.stdout):
        # Text the terminal's encoding cannot carry is escaped rather than fatal.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        return _run(arguments, as_json)
    except KeyboardInterrupt:
        return _report(Refused("interrupted"), as_json)
    except OSError as e:
        if sys.stdout is not None:
            # Drop what could not be written, so that the exit does not try again.
            with contextlib.suppress(OSError, ValueError):
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        if e.errno == errno.EPIPE:
            # The reader left early (quorvex ... | head): stop without a traceback.
            return EXIT_REFUSED
        print(f"quorvex: cannot write the output: {_shown(str(e))}", file=sys.stderr)
        return EXIT_REFUSED
    except BaseException as e:  # noqa: BLE001 - the last resort: a message, never a traceback
        # The module's internal faults derive from BaseException, not Exception.
        if isinstance(e, SystemExit):
            raise
        message = f"internal error: {type(e).__name__}: {_shown(str(e))}"
        return _report(Refused(message), as_json)


if __name__ == "__main__":
    sys.exit(main())
