"""The commands: each reads its arguments, calls the module and prints its answer."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any

from quorvex import DAT, AgentIdentity, EvaluationContext, KeyPair, ReceiptLog

from ._inout import (EXIT_OK, LOG_LIMIT, Refused, Usage, _json_text, _print_json, _read_file,
                     _read_input)


def _public_key(text: str) -> bytes:
    """--key in any form KeyPair.public_key_from takes (multibase, did:key, a JWK's JSON text,
    64 hex digits), or an identity directory."""
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


# The options of token issue that set a constraint, and the members they set.
_CONSTRAINT_OPTIONS = (
    ("max_actions", "maxActions"), ("server", "allowedServers"),
    ("require_receipt", "requireReceipt"), ("rate_limit", "rateLimit"),
    ("allow_ip", "ipAllowlist"), ("deny_ip", "ipDenylist"), ("min_trust", "minTrustLevel"),
    ("max_depth", "maxDelegationDepth"), ("country", "allowedCountries"),
    ("time_window", "timeWindows"), ("config_hash", "requiredConfigHash"))


def token_issue(args: argparse.Namespace) -> int:
    identity = _load(args.identity)
    constraints = {member: getattr(args, option) for option, member in _CONSTRAINT_OPTIONS
                   if getattr(args, option) is not None}
    try:
        if constraints or args.config_attestation is not None:
            # The module refuses a value no verification could accept, with its own message.
            token = DAT.issue_constrained(
                identity.aid().did, args.subject, args.scope,
                3600 if args.expires is None else args.expires, identity.keypair(),
                constraints=constraints, config_attestation=args.config_attestation)
        elif args.expires is None:
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
