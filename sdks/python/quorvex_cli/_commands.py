"""The commands: each reads its arguments, calls the module and prints its answer."""

from __future__ import annotations

import argparse
import base64
import json
import os
import time
from typing import Any, Callable

from quorvex import DAT, AgentIdentity, EvaluationContext, KeyPair, ReceiptLog

from ._inout import (EXIT_OK, LOG_LIMIT, Refused, Usage, _json_text, _print_json, _read_file,
                     _read_input)


def _public_key(text: str, option: str = "--key") -> bytes:
    """--key (or --holder) in any form KeyPair.public_key_from takes (multibase, did:key, a JWK's
    JSON text, 64 hex digits), or an identity directory."""
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
    raise Usage(f"argument {option}: not a multibase public key, 64 hex digits or an identity "
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


def _constraints(args: argparse.Namespace) -> dict[str, Any]:
    return {member: getattr(args, option) for option, member in _CONSTRAINT_OPTIONS
            if getattr(args, option) is not None}


def _holder(args: argparse.Namespace) -> bytes | None:
    return None if args.holder is None else _public_key(args.holder, "--holder")


def _issue(make: Callable[[], DAT], as_json: bool) -> int:
    """Prints the token make() issues, or refuses with the module's message."""
    try:
        token = make()
        compact = token.to_compact()
    except OverflowError as e:
        raise Usage(f"argument --expires: {e}") from None
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    if as_json:
        _print_json({"token": compact, "jti": token.jti, "issuer": token.issuer,
                     "subject": token.subject, "scope": token.scope,
                     "expires_at": token.expires_at})
    else:
        print(compact)
    return EXIT_OK


def token_issue(args: argparse.Namespace) -> int:
    identity = _load(args.identity)
    constraints = _constraints(args)
    holder = _holder(args)

    def make() -> DAT:
        if constraints or args.config_attestation is not None or holder is not None:
            # The module refuses a value no verification could accept, with its own message.
            return DAT.issue_constrained(
                identity.aid().did, args.subject, args.scope,
                3600 if args.expires is None else args.expires, identity.keypair(),
                constraints=constraints, config_attestation=args.config_attestation,
                holder_key=holder)
        if args.expires is None:
            return identity.issue_dat(args.subject, args.scope)
        return identity.issue_dat(args.subject, args.scope, args.expires)

    return _issue(make, args.json)


def token_delegate(args: argparse.Namespace) -> int:
    parent_text = _read_input(args.parent)
    identity = _load(args.identity)
    constraints = _constraints(args)
    holder = _holder(args)

    def make() -> DAT:
        parent = DAT.from_compact(parent_text)
        # By default the child lives as long as the parent still does, and at most an hour.
        expires = args.expires
        if expires is None:
            expires = max(1, min(3600, parent.expires_at - int(time.time())))
        return DAT.delegate(parent, args.subject, args.scope, expires, identity.keypair(),
                            holder_key=holder, constraints=constraints or None)

    return _issue(make, args.json)


def token_prove(args: argparse.Namespace) -> int:
    compact = _read_input(args.token)
    identity = _load(args.identity)
    try:
        proof = identity.keypair().prove(compact, args.method, args.url)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    if args.json:
        _print_json({"proof": proof, "method": args.method, "url": args.url})
    else:
        print(proof)
    return EXIT_OK


def _jwk(key: bytes) -> dict[str, str]:
    x = base64.urlsafe_b64encode(key).rstrip(b"=").decode("ascii")
    return {"kty": "OKP", "crv": "Ed25519", "x": x}


def _claims(token: DAT, with_chain: bool = True) -> dict[str, Any]:
    """The claims as the module read them, under the token's own member names."""
    claims: dict[str, Any] = {
        "iss": token.issuer, "sub": token.subject, "iat": token.issued_at,
        "exp": token.expires_at, "nbf": token.not_before, "jti": token.jti, "scope": token.scope}
    constraints = token.constraints
    if constraints:
        claims["constraints"] = constraints
    if token.config_attestation is not None:
        claims["configAttestation"] = token.config_attestation
    if with_chain and token.delegation_chain is not None:
        claims["delegationChain"] = token.delegation_chain
    bound = token.bound_key
    if bound is not None:
        claims["cnf"] = {"jwk": _jwk(bound)}
    return claims


def _links(token: DAT) -> list[dict[str, Any]]:
    """The delegation chain's links, root first, each decoded as inspect decodes a token (its
    own chain, the links before it, left out)."""
    links: list[dict[str, Any]] = []
    for number, text in enumerate(token.delegation_chain or []):
        try:
            link = DAT.from_compact(text)
        except (ValueError, RuntimeError) as e:
            links.append({"link": number, "error": str(e)})
            continue
        links.append({"link": number, "header": {"alg": "EdDSA", "kid": link.key_id},
                      "claims": _claims(link, with_chain=False)})
    return links


def token_inspect(args: argparse.Namespace) -> int:
    compact = _read_input(args.token)
    try:
        token = DAT.from_compact(compact)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    # from_compact reads only EdDSA tokens; of the header's other members the module shows kid.
    header = {"alg": "EdDSA", "kid": token.key_id}
    claims = _claims(token)
    links = _links(token)
    if args.json:
        shown: dict[str, Any] = {"verified": False, "header": header, "claims": claims}
        if links:
            shown["chain"] = links
        _print_json(shown)
        return EXIT_OK
    print("NOT VERIFIED: shown as decoded; the signature, timing and scopes are not checked.\n"
          f"header:\n{_json_text(header)}\nclaims:\n{_json_text(claims)}")
    if links:
        print(f"delegation chain, root first ({len(links)} link{'' if len(links) == 1 else 's'} "
              "above this token; NOT VERIFIED):")
        for link in links:
            print(f"link {link['link']}: {link['error']}" if "error" in link else
                  f"link {link['link']}:\n{_json_text({k: link[k] for k in ('header', 'claims')})}")
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


def _revoked(path: str) -> set[str]:
    """--revoked: token ids, one a line; blank lines and lines starting with # are skipped."""
    text = _read_input("-", LOG_LIMIT) if path == "-" else _read_file(path, LOG_LIMIT)
    lines = (line.strip() for line in text.splitlines())
    return {line for line in lines if line and not line.startswith("#")}


def _chain_root(token: DAT) -> DAT | None:
    """The first link of the token's delegation chain when it is a token. A chain of anything
    else is carried as written and left unchecked, as verify leaves it."""
    chain = token.delegation_chain
    if not chain:
        return None
    try:
        return DAT.from_compact(chain[0])
    except (ValueError, RuntimeError):
        return None


def token_verify(args: argparse.Namespace) -> int:
    if [args.token, args.proof, args.revoked].count("-") > 1:
        raise Usage("only one of TOKEN, --proof and --revoked can be read from standard input")
    if args.proof is not None and (args.method is None or args.url is None):
        raise Usage("argument --proof: --method and --url are required with a proof")
    compact = _read_input(args.token)
    proof = None if args.proof is None else _read_input(args.proof)
    revoked = None if args.revoked is None else _revoked(args.revoked)
    ctx = _context(args)
    key = _public_key(args.key)
    try:
        token = DAT.from_compact(compact)
        root = _chain_root(token)
        proven = (proof, args.method, args.url, revoked, token.bound_key, root)
        if all(value is None for value in proven):
            token.verify(key, args.scope, ctx)
        else:
            # A bound or chained token, or a request's facts: the key is the root issuer's.
            issuer = token.issuer if root is None else root.issuer
            token.authorize({issuer: key}, args.scope, ctx, proof=proof, method=args.method,
                            url=args.url, revoked=revoked)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e), accepted=False) from None
    if args.json:
        accepted = {"accepted": True, "jti": token.jti, "issuer": token.issuer,
                    "subject": token.subject, "scope": args.scope}
        if root is not None:
            accepted["root_issuer"] = root.issuer
        _print_json(accepted)
    else:
        delegated = "" if root is None else f", delegated from {root.issuer}"
        print(f"accepted: {args.scope} for {token.subject}, issued by {token.issuer}{delegated}")
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
