"""Hand-made DAT texts for the tests: any header and claims JSON, signed with a KeyPair."""

import base64
import json
import time

HEADER = '{"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"did:aid:test:issuer#key-ed25519"}'


def b64u(data):
    if isinstance(data, str):
        data = data.encode()
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64u_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def compact_json(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def signed(header, claims, key):
    """Compact text over the given header and claims (JSON text, bytes or a dict)."""
    parts = []
    for part in (header, claims):
        if isinstance(part, dict):
            part = compact_json(part)
        parts.append(b64u(part))
    signing_input = ".".join(parts)
    return signing_input + "." + b64u(key.sign(signing_input.encode()))


def claims(now=None, **members):
    """A complete claims dict valid from now for an hour; members override or add (None drops)."""
    now = int(time.time()) if now is None else now
    out = {
        "iss": "did:aid:test:issuer",
        "sub": "did:aid:test:agent",
        "iat": now,
        "exp": now + 3600,
        "nbf": now,
        "jti": "dat_01HZZZZZZZZZZZZZZZZZZZZZZZ",
        "scope": ["mcp:tool:*:read"],
    }
    for name, value in members.items():
        if value is None:
            out.pop(name, None)
        else:
            out[name] = value
    return out


def segments(compact):
    """The decoded header and claims texts of a compact token."""
    header, body, _ = compact.split(".")
    return b64u_decode(header).decode(), b64u_decode(body).decode()
