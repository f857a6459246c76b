"""The argument parser, and main: parse, run the command, report its failure."""

from __future__ import annotations

import argparse
import contextlib
import errno
import io
import os
import re
import sys
from typing import Any, Callable, NoReturn, Sequence

from ._commands import (identity_create, identity_show, receipts_verify, token_delegate,
                        token_inspect, token_issue, token_prove, token_verify)
from ._inout import (EXIT_OK, EXIT_REFUSED, EXIT_USAGE, Failure, Refused, Usage, _ascii_only,
                     _print_json, _report, _shown)
from ._receipts import (is_store, receipts_check_proof, receipts_checkpoint, receipts_prove,
                        receipts_verify_store)


class _CommandLineError(Exception):
    """argparse's refusal of a command line, reported as argparse words it."""

    def __init__(self, parser: argparse.ArgumentParser, message: str) -> None:
        super().__init__(message)
        self.parser = parser


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _CommandLineError(self, message)


def _unsigned(bits: int) -> Callable[[str], int]:
    """An argparse type: a decimal number that fits the constraint's field."""
    def number(text: str) -> int:
        if not re.fullmatch(r"[0-9]+", text):
            raise argparse.ArgumentTypeError(f"not a number: {_shown(text)}")
        value = int(text)
        if value >= 1 << bits:
            raise argparse.ArgumentTypeError(f"{value} is out of range (0 to {(1 << bits) - 1})")
        return value
    return number


def _rate_limit(text: str) -> dict[str, int]:
    """--rate-limit MAX/WINDOW_SECS as the token's rateLimit."""
    parts = text.split("/")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"not MAX/WINDOW_SECS: {_shown(text)}")
    return {"max_actions": _unsigned(64)(parts[0]), "window_secs": _unsigned(64)(parts[1])}


def _time_window(text: str) -> dict[str, Any]:
    """--time-window START-END[:DAYS] as one of the token's timeWindows."""
    match = re.fullmatch(r"([0-9]+)-([0-9]+)(?::([0-9]+(?:,[0-9]+)*))?", text)
    if match is None:
        raise argparse.ArgumentTypeError(f"not START-END[:DAYS]: {_shown(text)}")
    byte = _unsigned(8)
    window: dict[str, Any] = {"start_hour": byte(match[1]), "end_hour": byte(match[2])}
    if match[3] is not None:
        window["days_of_week"] = [byte(day) for day in match[3].split(",")]
    return window


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", description="Agent identities and delegation tokens.",
                     epilog="Exit codes: 0 done (token accepted), 1 refused (the reason on "
                     "stderr), 2 a command line that cannot be run.")
    commands = parser.add_subparsers(dest="group", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    def json_option(p: argparse.ArgumentParser) -> None:
        p.add_argument("--json", action="store_true", help="print one JSON object instead")

    def key_option(p: argparse.ArgumentParser, whose: str, required: bool = True) -> None:
        p.add_argument("--key", metavar="KEY", required=required,
                       help=f"{whose} public key: multibase (z...), a did:key, a JWK's JSON "
                       "text, 64 hex digits, or an identity directory")

    def holder_option(p: argparse.ArgumentParser) -> None:
        p.add_argument("--holder", metavar="KEY",
                       help="bind the token to this holder's public key (cnf), in any form "
                       "--key takes: each request must then carry the holder's proof")

    def constraint_options(p: argparse.ArgumentParser) -> None:
        limits = p.add_argument_group(
            "constraints", "written into the token's constraints; each may be left out")
        limits.add_argument("--max-actions", metavar="N", type=_unsigned(64),
                            help="lifetime cap on actions (maxActions)")
        limits.add_argument("--server", metavar="S", action="append",
                            help="an allowed server (allowedServers; repeatable)")
        limits.add_argument("--require-receipt", action="store_true", default=None,
                            help="a receipt is required for every action (requireReceipt)")
        limits.add_argument("--rate-limit", metavar="MAX/WINDOW_SECS", type=_rate_limit,
                            help="at most MAX actions per window of WINDOW_SECS seconds "
                            "(rateLimit)")
        limits.add_argument("--allow-ip", metavar="NET", action="append",
                            help="an allowed address or network, e.g. 10.0.0.0/8 (ipAllowlist; "
                            "repeatable)")
        limits.add_argument("--deny-ip", metavar="NET", action="append",
                            help="a denied address or network (ipDenylist; repeatable)")
        limits.add_argument("--min-trust", metavar="N", type=_unsigned(8),
                            help="the agent's minimum trust level, 0 to 4 (minTrustLevel)")
        limits.add_argument("--max-depth", metavar="N", type=_unsigned(32),
                            help="most re-delegations, 0 for none (maxDelegationDepth)")
        limits.add_argument("--country", metavar="CC", action="append",
                            help="an allowed two-letter country code (allowedCountries; "
                            "repeatable)")
        limits.add_argument("--time-window", metavar="START-END[:DAYS]", action="append",
                            type=_time_window,
                            help="UTC hours START to END inclusive, on DAYS (0 Monday to 6 "
                            "Sunday, comma-separated; default every day), e.g. 9-17:0,1,2,3,4 "
                            "(timeWindows; repeatable)")
        limits.add_argument("--config-hash", metavar="H",
                            help="the agent configuration hash required (requiredConfigHash)")

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
    constraint_options(issue)
    issue.add_argument("--config-attestation", metavar="T",
                       help="the configuration attestation to carry (configAttestation)")
    holder_option(issue)
    json_option(issue)
    issue.set_defaults(run=token_issue)
    delegate = token_commands.add_parser(
        "delegate", help="delegate part of a holder-bound token to another agent",
        description="Issue a child of a token bound to the key of the identity in --identity, "
        "signed with that key, for a sub-agent: its issuer is the parent's subject, its chain the "
        "parent's chain and the parent. It may narrow the parent, never widen it: each scope "
        "covered by a parent scope, a lifetime within the parent's, the parent's "
        "maxDelegationDepth allowing one more link. Prints it compact.")
    delegate.add_argument("--parent", metavar="TOKEN", required=True,
                          help="the parent token, compact, or - for stdin")
    delegate.add_argument("--identity", metavar="PATH", required=True,
                          help="directory of the identity the parent token is bound to")
    delegate.add_argument("--subject", metavar="DID", required=True, help="DID of the sub-agent")
    delegate.add_argument("--scope", metavar="S", action="append", required=True,
                          help="a delegated scope (repeatable)")
    delegate.add_argument("--expires", metavar="SECONDS", type=int,
                          help="lifetime in seconds (default: what is left of the parent's, "
                          "at most 3600)")
    constraint_options(delegate)
    holder_option(delegate)
    json_option(delegate)
    delegate.set_defaults(run=token_delegate)
    prove = token_commands.add_parser(
        "prove", help="make a proof of possession for one request",
        description="Make the proof a holder-bound token's holder sends with one request "
        "(a dpop+jwt compact JWS naming the method, the URL and the token's hash), signed with "
        "the key of the identity in --identity. Prints it compact.")
    prove.add_argument("token", metavar="TOKEN", help="compact token, or - for stdin")
    prove.add_argument("--identity", metavar="PATH", required=True,
                       help="directory of the identity the token is bound to")
    prove.add_argument("--method", metavar="M", required=True, help="the request's method")
    prove.add_argument("--url", metavar="U", required=True, help="the request's URL")
    json_option(prove)
    prove.set_defaults(run=token_prove)
    inspect = token_commands.add_parser(
        "inspect", help="print a token's header and claims, unchecked",
        description="Print a token's header and claims as JSON without checking anything. A "
        "delegated token's chain follows, link by link from the root, as unchecked.")
    inspect.add_argument("token", metavar="TOKEN", help="compact token, or - for stdin")
    json_option(inspect)
    inspect.set_defaults(run=token_inspect)
    verify = token_commands.add_parser(
        "verify", help="verify a token for one scope",
        description="Check a token's signature, timing, scope and constraints. Exits 0 when it "
        "is accepted; otherwise prints the reason and exits 1. A token bound to its holder or "
        "delegated through a chain, or one given --proof or --revoked, is checked as "
        "DAT.authorize checks it, with --key the chain's root issuer's key.")
    verify.add_argument("token", metavar="TOKEN", help="compact token, or - for stdin")
    key_option(verify, "issuer's")
    verify.add_argument("--scope", metavar="S", required=True, help="the scope requested")
    verify.add_argument("--ip", metavar="A", help="the caller's IP address")
    verify.add_argument("--country", metavar="C", help="the caller's country code")
    verify.add_argument("--trust", metavar="N", type=int, help="the agent's trust level")
    verify.add_argument("--depth", metavar="N", type=int, help="delegation depth (default: 0)")
    verify.add_argument("--actions", metavar="N", type=int,
                        help="actions already taken in the rate-limit window (default: 0)")
    verify.add_argument("--proof", metavar="P",
                        help="the request's proof of possession (or - for stdin); a token bound "
                        "to its holder is refused without one")
    verify.add_argument("--method", metavar="M", help="the request's method, for --proof")
    verify.add_argument("--url", metavar="U", help="the request's URL, for --proof")
    verify.add_argument("--revoked", metavar="FILE",
                        help="revoked token ids, one a line (or - for stdin): a token any link "
                        "of whose chain is revoked is refused")
    json_option(verify)
    verify.set_defaults(run=token_verify)

    receipts = commands.add_parser("receipts", help="audit a printed receipt log or a store; "
                                   "checkpoints and proofs")
    receipts_commands = receipts.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                                parser_class=_Parser)
    audit = receipts_commands.add_parser(
        "verify", help="check every link and signature of a printed log or a store",
        description="Audit a log printed by ReceiptLog.to_json: re-derive every hash link and "
        "check every signature against the agent's public key. Exits 0 with the count of "
        "receipts, or names the first bad one and exits 1. Given a receipt store instead "
        "(ReceiptLog.open), audit every row, link, signature (with the keys stored beside the "
        "receipts) and tree node; with --checkpoint, also check that the store extends that "
        "signed checkpoint, whose signer's key --key then names.")
    audit.add_argument("log", metavar="LOG", help="the printed log (or - for stdin), or a store")
    key_option(audit, "the agent's (a printed log) or the checkpoint signer's", required=False)
    audit.add_argument("--checkpoint", metavar="FILE",
                       help="a checkpoint of the store the store must extend (or - for stdin)")
    audit.add_argument("--origin", metavar="O",
                       help="the log's origin the checkpoint must name (default: its own)")
    json_option(audit)
    audit.set_defaults(run=_receipts_verify, parser=audit)
    checkpoint = receipts_commands.add_parser(
        "checkpoint", help="print a signed checkpoint of a store",
        description="Sign the store's Merkle tree head as a C2SP tlog-checkpoint in a signed "
        "note, with the key of a saved identity under the key name ORIGIN.")
    checkpoint.add_argument("store", metavar="STORE", help="the receipt store")
    checkpoint.add_argument("--identity", metavar="PATH", required=True,
                            help="directory of the identity whose key signs")
    checkpoint.add_argument("--origin", metavar="O", required=True,
                            help="the log's name, e.g. example.com/receipts")
    checkpoint.add_argument("--size", metavar="N", type=_unsigned(64),
                            help="the tree size to sign (default: every receipt)")
    json_option(checkpoint)
    checkpoint.set_defaults(run=receipts_checkpoint)
    prove = receipts_commands.add_parser(
        "prove", help="print the proof bundle of one receipt",
        description="Print a C2SP tlog-proof bundle: receipt INDEX's inclusion proof to the tree "
        "a checkpoint of this store signs, and that checkpoint.")
    prove.add_argument("store", metavar="STORE", help="the receipt store")
    prove.add_argument("index", metavar="INDEX", type=_unsigned(64), help="the receipt's index")
    prove.add_argument("--checkpoint", metavar="FILE", required=True,
                       help="a checkpoint of the store (or - for stdin)")
    json_option(prove)
    prove.set_defaults(run=receipts_prove)
    check = receipts_commands.add_parser(
        "check-proof", help="check a proof bundle offline",
        description="Check that a receipt is in the tree a proof bundle's checkpoint signs, "
        "with the checkpoint signer's public key alone. Exits 0, or 1 with the reason.")
    check.add_argument("bundle", metavar="BUNDLE", help="the proof bundle (or - for stdin)")
    check.add_argument("--receipt", metavar="FILE", required=True,
                       help="the receipt's compact JSON, as ReceiptLog.receipt gives it "
                       "(or - for stdin)")
    key_option(check, "the checkpoint signer's")
    check.add_argument("--origin", metavar="O",
                       help="the log's origin the checkpoint must name (default: its own)")
    json_option(check)
    check.set_defaults(run=receipts_check_proof)
    return parser


def _receipts_verify(args: argparse.Namespace) -> int:
    """receipts verify: a store when the file is one, else a printed log."""
    if is_store(args.log):
        return receipts_verify_store(args)
    if args.key is None:
        raise _CommandLineError(args.parser, "the following arguments are required: --key")
    if args.checkpoint is not None:
        raise Usage(f"argument --checkpoint: {args.log} is no receipt store")
    return receipts_verify(args)


def _json_requested(arguments: Sequence[str]) -> bool:
    """Whether argparse would read --json (or an abbreviation of it) from the arguments."""
    for argument in arguments:
        if argument == "--":
            return False
        if len(argument) >= 3 and "--json".startswith(argument):
            return True
    return False


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


def _run(arguments: Sequence[str], as_json: bool) -> int:
    try:
        _check_arguments(arguments)
        try:
            args = _parse(arguments, as_json)
        except SystemExit as e:
            # --help: argparse has printed it and asks to stop.
            return e.code if isinstance(e.code, int) else EXIT_OK
        as_json = bool(getattr(args, "json", as_json))
        code: int = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return code
    except _CommandLineError as e:
        sys.stderr.write(e.parser.format_usage())
        print(f"{e.parser.prog}: error: {_shown(str(e))}", file=sys.stderr)
        if as_json:
            _print_json({"ok": False, "code": EXIT_USAGE, "error": _shown(str(e))})
        return EXIT_USAGE
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
