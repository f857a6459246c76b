"""Misuses of quorvex that its stubs must make `mypy --strict` report.

check_misuse.py passes when mypy reports exactly the lines marked `# E: <error code>`; the
unmarked lines are correct uses that must stay clean.
"""

import quorvex
from quorvex import (AID, DAT, AgentIdentity, AIDBuilder, EvaluationContext, KeyPair, ReceiptLog,
                     Scope, TrustLevel)

P, Q, BOT, ACT = "did:aid:a.test:p", "did:aid:a.test:q", "did:aid:a.test:bot", "mcp:tool-call"
key = KeyPair.generate()
signature: bytes = key.sign(b"message")
key.sign("message")  # E: arg-type
key.sign(bytearray(b"message"))  # E: arg-type
key.verify(b"message")  # E: call-arg
valid: str = key.verify(b"message", signature)  # E: assignment
key.public_key_bytes = b""  # E: misc
KeyPair.from_secret_bytes(seed=bytes(32))  # E: call-arg


class Mine(KeyPair):  # E: misc
    pass


ctx = EvaluationContext()
ctx.request_ip = None
ctx.agent_trust_level = 75
ctx.delegation_depth = None  # E: assignment
ctx.agent_trust_level = "75"  # E: assignment
ctx.country_code = 49  # E: assignment

token = DAT.issue(P, Q, ("a:b:c:d",), 60, key, max_delegation_depth=0)
DAT.issue(P, Q, "a:b:c:d", 60, key)  # E: arg-type
DAT.issue(P, Q, ["a:b:c:d"], 60, key, require_receipt=1)  # E: arg-type
token.verify(key.public_key_bytes, "a:b:c:d", ctx)
token.verify(key.public_key_bytes, ctx=None)
token.verify(key)  # E: arg-type
token.verify(key.public_key_bytes, ctx="10.0.0.1")  # E: arg-type
accepted = token.verify(key.public_key_bytes)  # E: func-returns-value
token.issuer = "did:aid:a.test:r"  # E: misc
token.scope.append(1)  # E: arg-type
expiry: str = token.expires_at  # E: assignment

Scope("a:b:c:*").covers(Scope("a:b:c:d"))
Scope("a:b:c:*").covers("a:b:c:d")  # E: arg-type
TrustLevel("L2").meets_minimum("L1")  # E: arg-type
TrustLevel(2)  # E: arg-type

builder = AIDBuilder()
builder.id("did:aid:a.test:bot").name("bot")  # E: func-returns-value, attr-defined
builder.add_ed25519_key(AID.from_json("{}"))  # E: arg-type
level: str = builder.build().trust_level  # E: assignment

log = ReceiptLog()
log.append(BOT, token.jti, ACT, b"in", key, server=None, duration_ms=0)
log.append(BOT, token.jti, ACT, b"in", key, status=None)  # E: arg-type
log.append(BOT, token.jti, ACT, b"in", key, duration_ms=1.5)  # E: arg-type
log.append(BOT, token.jti, ACT, b"in")  # E: call-arg
log.next_sequence = 1  # E: misc
entries: int = len(log)

identity = AgentIdentity.create("bot", controller=None)
identity.save(path=None)
AgentIdentity.create("bot", domain=None)  # E: arg-type
identity.issue_dat("did:aid:a.test:q", "a:b:c:d")  # E: arg-type
identity.issue_dat("did:aid:a.test:q", ["a:b:c:d"], expires_in_seconds=None)  # E: arg-type
identity.did  # E: attr-defined
AgentIdentity.load(None)  # E: arg-type
quorvex.QuorvexError  # E: attr-defined
