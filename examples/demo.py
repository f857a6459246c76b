"""A short tour of quorvex: identities, delegation, verification, receipts."""
import json
import os
import shutil
import tempfile
from typing import Any, Callable

import blake3  # only for the outside audit at the end
from quorvex import (AID, DAT, AgentIdentity, AIDBuilder, EvaluationContext, KeyPair, ReceiptLog,
                     Scope, TrustLevel)


def show(title: str) -> None:
    print()
    print(f"== {title}")


def refused(what: str, call: Callable[[], object]) -> None:
    try:
        call()
    except (ValueError, RuntimeError) as e:
        print(f"  {what:<28} refused: {e}")
    else:
        print(f"  {what:<28} accepted")


show("Identity: a key pair and a did:aid document, saved and loaded")
home = tempfile.mkdtemp(prefix="quorvex-demo-")
principal_id = AgentIdentity.create("principal", domain="example.com")
principal_did = principal_id.aid().did
saved = os.path.join(home, "principal")
principal_id.save(saved)
print(f"  created                  {principal_id!r}")
print(f"  saved                    {sorted(os.listdir(saved))} in {saved}")
print(f"  secret.key permissions   {oct(os.stat(os.path.join(saved, 'secret.key')).st_mode & 0o777)}")
loaded = AgentIdentity.load(saved)
print(f"  loaded back              same DID: {loaded.aid().did == principal_did}, "
      f"same key: {loaded.public_key_bytes == principal_id.public_key_bytes}")
principal = loaded.keypair()
agent_id = AgentIdentity.create("agent-7", domain="example.com")
agent = agent_id.keypair()
document = agent_id.aid().to_json()
print("  the agent's AID document:")
for line in document.splitlines()[:16]:
    print(f"    {line}")
print(f"    ... ({len(document.splitlines())} lines)")
again = AID.from_json(document)
print(f"  AID.from_json round trip identical: {again.to_json() == document}")
builder = AIDBuilder()
builder.id("did:aid:example.com:helper")
builder.controller(principal_did)
builder.name("helper")
builder.model("small-model")
builder.trust_level("L1")
builder.add_ed25519_key(agent)
print(f"  built with AIDBuilder    {builder.build()!r}")
refused("build() again", builder.build)  # every build takes the builder's state
builder.id("did:aid:localhost:helper")
builder.controller(principal_did)
builder.name("helper")
builder.add_ed25519_key(agent)
refused("id on 'localhost'", builder.build)

message = b"transfer 10 credits to agent-7"
signature = principal.sign(message)
print(f"  signature                {signature.hex()[:32]}... ({len(signature)} bytes)")
print(f"  verifies                 {principal.verify(message, signature)}")
print(f"  verifies, message edited {principal.verify(message + b'0', signature)}")
print(f"  agent key, multibase     {agent.public_key_multibase}")

show("Trust levels")
audited, org = TrustLevel("L3"), TrustLevel("L2")
print(f"  {audited!r}")
print(f"  L3 meets L2: {audited.meets_minimum(org)};  L2 meets L3: {org.meets_minimum(audited)}")
refused("TrustLevel('l3')", lambda: TrustLevel("l3"))

show("Delegation: the principal grants the agent a scoped, time-bounded token")
issuer = principal_did
subject = agent_id.aid().did
token = DAT.issue(issuer, subject, ["mcp:tool:filesystem:read", "mcp:tool:search:*"], 3600,
                  principal, max_delegation_depth=1, min_trust_level=2)
compact = token.to_compact()
print(f"  {token!r}")
print(f"  compact JWS              {compact[:60]}... ({len(compact)} chars)")
simple = loaded.issue_dat(subject, ["mcp:tool:search:*"], 600)
print(f"  issue_dat (10 minutes)   {simple!r}")
print(f"  Scope('mcp:tool:*:read') covers 'mcp:tool:filesystem:read': "
      f"{Scope('mcp:tool:*:read').covers(Scope('mcp:tool:filesystem:read'))}")

show("Verification by the service the agent calls")
received = DAT.from_compact(compact)
ctx = EvaluationContext()
ctx.request_ip = "10.0.0.7"
ctx.country_code = "DE"
ctx.agent_trust_level = 3
ctx.delegation_depth = 1
print(f"  {ctx!r}")
received.verify(principal.public_key_bytes, "mcp:tool:filesystem:read", ctx)
print(f"  {'mcp:tool:filesystem:read':<28} accepted")
refused("mcp:tool:filesystem:write",
        lambda: received.verify(principal.public_key_bytes, "mcp:tool:filesystem:write", ctx))
refused("someone else's key",
        lambda: received.verify(agent.public_key_bytes, "mcp:tool:filesystem:read", ctx))
deeper = EvaluationContext()
deeper.delegation_depth = 2
deeper.agent_trust_level = 3
refused("re-delegated twice",
        lambda: received.verify(principal.public_key_bytes, "mcp:tool:search:web", deeper))
unknown = EvaluationContext()
refused("agent of unknown trust",
        lambda: received.verify(principal.public_key_bytes, "mcp:tool:search:web", unknown))
stale = DAT.issue(issuer, subject, ["mcp:tool:search:*"], -10, principal)
refused("token expired 10 s ago",
        lambda: stale.verify(principal.public_key_bytes, "mcp:tool:search:web"))
refused("validate_timing()", stale.validate_timing)
tampered = compact[:-6] + ("AAAAAA" if not compact.endswith("AAAAAA") else "BBBBBB")
refused("tampered signature", lambda: DAT.from_compact(tampered).verify(
    principal.public_key_bytes, "mcp:tool:filesystem:read", ctx))

show("Proven delegation: a token bound to the agent's key, proofs, a sub-agent, revocation")
trusted = {issuer: principal.public_key_bytes}
bound = DAT.issue_constrained(issuer, subject, ["mcp:tool:filesystem:*"], 600, principal,
                              constraints={"maxDelegationDepth": 1},
                              holder_key=agent.public_key_bytes)
url = "https://files.example.com/tools/read_file"
proof = agent.prove(bound, "POST", url)
print(f"  bound to the agent's key {bound.bound_key == agent.public_key_bytes}")
print(f"  proof (dpop+jwt)         {proof[:60]}... ({len(proof)} chars)")
bound.authorize(trusted, "mcp:tool:filesystem:read", proof=proof, method="POST", url=url)
print(f"  {'with its proof':<28} accepted")
refused("the same proof again", lambda: bound.authorize(
    trusted, "mcp:tool:filesystem:read", proof=proof, method="POST", url=url))
refused("a stolen token, no proof", lambda: bound.authorize(
    trusted, "mcp:tool:filesystem:read", method="POST", url=url))
refused("proof for another URL", lambda: bound.authorize(
    trusted, "mcp:tool:filesystem:read", proof=agent.prove(bound, "POST", url + "/x"),
    method="POST", url=url))
helper = KeyPair.generate()
child = DAT.delegate(bound, "did:aid:example.com:helper", ["mcp:tool:filesystem:read"], 60,
                     agent, holder_key=helper.public_key_bytes)
print(f"  delegated to a helper    {child!r}, chain of {len(child.delegation_chain or [])}")
child.authorize(trusted, "mcp:tool:filesystem:read", proof=helper.prove(child, "GET", url),
                method="GET", url=url)
print(f"  {'helper, with its proof':<28} accepted")
refused("helper given mail too", lambda: DAT.delegate(
    bound, "did:aid:example.com:helper", ["mcp:tool:filesystem:write", "mcp:tool:mail:send"],
    60, agent))
refused("parent revoked", lambda: child.authorize(
    trusted, "mcp:tool:filesystem:read", proof=helper.prove(child, "GET", url), method="GET",
    url=url, revoked={bound.jti}))

show("Receipts: the agent records what it did under the token")
log = ReceiptLog()
jti = received.jti
calls = [("read_file", b'{"path": "/srv/report.txt"}', b"quarterly numbers...", 41),
         ("search", b'{"q": "agent identity"}', b'["result 1", "result 2"]', 230),
         ("read_file", b'{"path": "/srv/missing.txt"}', None, 3)]
for tool, request, response, millis in calls:
    log.append(subject, jti, "mcp:tool-call", request, agent, server="files.example.com",
               tool=tool, output_data=response, status="success" if response else "not_found",
               duration_ms=millis, session_id="session-1")
print(f"  {log!r}")
log.verify_integrity()
print(f"  verify_integrity()       chain unbroken over {len(log)} receipts")
printed = log.to_json()
print("  to_json(), first receipt:")
for line in printed.splitlines()[1:24]:
    print(f"    {line}")
print(f"    ... ({len(printed)} chars in all)")
print(f"  last_hash                {log.last_hash}")


def audit(receipts: list[dict[str, Any]]) -> str:
    """An outside check of a printed log: re-derive every link from the JSON alone."""
    expected = "genesis"
    for i, receipt in enumerate(receipts):
        chain = receipt["chain"]
        if chain["sequenceNumber"] != i or chain["previousHash"] != expected:
            return f"chain broken at sequence {i}"
        unsigned = {k: v for k, v in receipt.items() if k != "signature"}
        text = json.dumps(unsigned, separators=(",", ":"), ensure_ascii=False)
        expected = "blake3:" + blake3.blake3(text.encode()).hexdigest()
    return "chain unbroken"


receipts = json.loads(printed)
print(f"  links re-derived in Python (blake3 package): {audit(receipts)}")
print(f"  ReceiptLog.audit, links and signatures: "
      f"{ReceiptLog.audit(printed, agent.public_key_bytes)} receipts check out")
receipts[1]["action"]["status"] = "failed"
edited = json.dumps(receipts, indent=2, ensure_ascii=False)
print(f"  receipt 1 edited, links in Python: {audit(receipts)}")
refused("ReceiptLog.audit", lambda: ReceiptLog.audit(edited, agent.public_key_bytes))

show("A durable log: receipts in a file, reopened, checkpointed and proved offline")
store_path = os.path.join(home, "receipts.db")
stored = ReceiptLog.open(store_path)
with stored:  # the block's appends are one commit
    for tool, request, response, millis in calls:
        stored.append(subject, jti, "mcp:tool-call", request, agent, server="files.example.com",
                      tool=tool, output_data=response, duration_ms=millis)
service_key = KeyPair.generate()  # the service signs its own log's checkpoints
origin = "files.example.com/receipts"
kept = stored.checkpoint(origin, service_key)
print("  checkpoint (a signed note), kept by an auditor:")
for line in kept.splitlines():
    print(f"    {line}".rstrip())
del stored
stored = ReceiptLog.open(store_path)  # after a restart the chain goes on
stored.append(subject, jti, "mcp:tool-call", b'{"q": "receipts"}', agent, tool="search")
stored.verify_integrity()
print(f"  {'reopened, appended':<24} {len(stored)} receipts; every link, signature and tree "
      "node checks out")
newer = stored.checkpoint(origin, service_key)
service_public = service_key.public_key_bytes
bundle = stored.prove(1, newer)
index = ReceiptLog.check_proof(bundle, stored.receipt(1), service_public)
print(f"  {f'proof bundle, receipt {index}':<24} {len(bundle.splitlines())} lines, checked "
      "offline against the newer checkpoint")
ReceiptLog.verify_consistency(kept, newer, stored.consistency_proof(3), service_public)
print(f"  {'the newer extends the kept':<28} accepted")
# An operator rebuilds the log without its last receipt and adds another: the same size as
# the newer checkpoint, but not an extension of what the auditor kept.
forged = ReceiptLog.open(os.path.join(home, "forged.db"))
for tool, request, response, millis in calls[:2] + [("search", b'{"q": "x"}', None, 1)] * 2:
    forged.append(subject, jti, "mcp:tool-call", request, agent, tool=tool,
                  output_data=response, duration_ms=millis)
refused("a rewritten history", lambda: ReceiptLog.verify_consistency(
    kept, forged.checkpoint(origin, service_key), forged.consistency_proof(3), service_public))

shutil.rmtree(home)
