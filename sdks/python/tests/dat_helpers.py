"""Keys, names and helpers shared by the DAT test modules."""

from quorvex import DAT, KeyPair
from tokens import HEADER, claims, signed

KEY = KeyPair.from_secret_bytes(bytes(range(32)))
PK = KEY.public_key_bytes
OTHER = KeyPair.from_secret_bytes(bytes(range(1, 33)))

ISS = "did:aid:test:issuer"
SUB = "did:aid:test:agent"
SCOPE = "mcp:tool:filesystem:read"

FIX_KEY = ". Fix: Ensure the correct public key is used."


def issue(scope=("mcp:tool:*:read",), expires_in_seconds=3600, **kwargs):
    return DAT.issue(ISS, SUB, list(scope), expires_in_seconds, KEY, **kwargs)


def parsed(key=KEY, header=HEADER, **members):
    return DAT.from_compact(signed(header, claims(**members), key))


def verdict(dat, ctx=None, scope=SCOPE):
    """'ok', or the message of the ValueError raised by verify."""
    try:
        dat.verify(PK, scope, ctx)
    except ValueError as e:
        return str(e)
    return "ok"
