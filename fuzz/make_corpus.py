"""Writes the seed corpus under fuzz/corpus/ from texts the built module makes.

Run once with the module importable (PYTHONPATH=build/<dir>); the seeds are kept in the
repository, so the fuzz runs need no Python. Texts carry fresh ULIDs and times each run.
"""

import base64
import json
import pathlib
import sys
import tempfile

import quorvex

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"
# The audit target checks signatures against this seed's public key.
AUDIT_SEED = bytes(range(32))


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def write(target: str, seeds: dict[str, str | bytes]) -> None:
    folder = ROOT / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in seeds.items():
        data = text.encode() if isinstance(text, str) else text
        (folder / name).write_bytes(data)


def main() -> None:
    issuer = quorvex.AgentIdentity.create("fuzz-issuer")
    token = issuer.issue_dat("did:aid:agents.quorvex.dev:fuzz-subject", ["tools:read", "files:*"])
    full = quorvex.DAT.issue(
        issuer.aid().did, "did:aid:example.org:sub", ["a:b:c"], 60, issuer.keypair(),
        max_actions=5, require_receipt=True, max_delegation_depth=2, min_trust_level=1,
    ).to_compact()
    header_b64, claims_b64, signature_b64 = full.split(".")
    header = unb64(header_b64).decode()
    claims = unb64(claims_b64).decode()
    rich = json.loads(claims)
    rich["constraints"].update({
        "allowedServers": ["srv-1"], "rateLimit": {"max_actions": 3, "window_secs": 60},
        "ipAllowlist": ["10.0.0.0/8", "::1"], "ipDenylist": ["10.1.2.3"],
        "allowedCountries": ["NZ"], "requiredConfigHash": "blake3:00",
        "timeWindows": [{"start_hour": 9, "end_hour": 17, "days_of_week": [1, 2, 3]}],
    })
    rich_claims = json.dumps(rich, indent=1)
    array_claims = json.dumps([rich["iss"], rich["sub"], rich["iat"], rich["exp"], rich["nbf"],
                               rich["jti"], rich["scope"], None, None, []])

    write("token", {
        "issued": token.to_compact(),
        "constraints": full,
        "rich_claims": ".".join([header_b64, b64(rich_claims.encode()), signature_b64]),
        "alg_none": ".".join([b64(b'{"alg":"none","typ":"JWT","kid":"k"}'), claims_b64, ""]),
        "two_segments": header_b64 + "." + claims_b64,
        "padded": full + "==",
    })
    write("claims", {
        "issued": claims,
        "rich": rich_claims,
        "array_form": array_claims,
        "escapes": claims.replace('"iss"', '"\\u0069ss"', 1),
        "duplicate": claims[:-1] + ',"iat":1}',
        "float": claims.replace('"iat":', '"iat":1.5e3,"x":', 1),
    })
    write("header", {
        "issued": header,
        "array_form": json.dumps(list(json.loads(header).values())),
        "unknown_member": header[:-1] + ',"x5u":"u"}',
        "missing_kid": '{"alg":"EdDSA","typ":"JWT"}',
    })

    document = quorvex.AIDBuilder()
    document.id("did:aid:example.org:fuzz-agent")
    document.controller("did:aid:example.org:controller")
    document.name("fuzz agent")
    document.description("d\u00e9j\u00e0 \"quoted\"")
    document.model("m")
    document.runtime("r")
    document.trust_level("L2")
    document.add_ed25519_key(quorvex.KeyPair.generate())
    aid_json = document.build().to_json()
    parsed = json.loads(aid_json)
    write("aid", {
        "built": aid_json,
        "identity": issuer.aid().to_json(),
        "no_methods": json.dumps({**parsed, "verificationMethod": []}),
        "bad_id": json.dumps({**parsed, "id": "did:aid:nodot:UPPER"}),
        "bad_created": json.dumps({**parsed, "created": "2024-02-30T25:00:00Z"}),
    })

    with tempfile.TemporaryDirectory() as tmp:
        issuer.save(tmp)
        key = (pathlib.Path(tmp) / "secret.key").read_bytes()
        saved = (pathlib.Path(tmp) / "aid.json").read_bytes()
        metadata = (pathlib.Path(tmp) / "identity.json").read_bytes()
    write("identity", {
        "saved": key + b"\0" + saved,
        "spaced_key": b"\xe2\x80\x83 " + key.upper() + b"\n\0" + saved,
        "short_key": key[:62] + b"\0" + saved,
        "odd_key": b"abc\0" + saved,
    })

    signer = quorvex.KeyPair.from_secret_bytes(AUDIT_SEED)
    log = quorvex.ReceiptLog()
    did = "did:aid:example.org:fuzz-agent"
    log.append(did, "dat_1", "tool_call", b"in", signer, server="s", tool="t",
               output_data=b"out", duration_ms=12, session_id="sess")
    log.append(did, "dat_1", "read", b"x", signer, status="error")
    log.append(did, "dat_2", "write", b"\x00\xff", signer, tool="w\u00e9")
    printed = log.to_json()
    receipts = json.loads(printed)
    # Edits keep the printed form, which is all the audit accepts.
    first, second, third = printed.split("\n  },\n  {\n")
    write("audit", {
        "three": printed,
        "newline": printed + "\n",
        "edited": printed.replace('"status": "error"', '"status": "success"'),
        "swapped": "\n  },\n  {\n".join([first, third.removesuffix("\n  }\n]"),
                                          second + "\n  }\n]"]),
        "compact": json.dumps(receipts, separators=(",", ":"), ensure_ascii=False),
        "empty": "[]",
    })

    write("base64url", {
        "signature": signature_b64, "claims": claims_b64, "one": "AA", "two": "AAE",
        "last_symbol": "AB", "padded": "AA==", "plus": "+/8",
    })
    write("hex", {
        "key": key.decode().strip(), "upper": "DEADbeef", "odd": "abc", "bad": "0g",
        "empty": "",
    })
    multibase = parsed["verificationMethod"][0]["publicKeyMultibase"]
    write("multibase", {
        "key": multibase, "zero_bytes": "z111" + multibase[1:], "empty": "z", "no_prefix": "abc",
        "bad_digit": "z1I0Ol", "too_long": "z" + "2" * 91,
    })
    public_hex = signer.public_key_bytes.hex()
    write("public_key", {
        "multibase": multibase, "hex": public_hex, "upper_hex": public_hex.upper(),
        "short_hex": public_hex[:62], "short_multibase": multibase[:-3],
    })
    write("reader_differential", {
        "claims": rich_claims, "array_claims": array_claims, "header": header,
        "aid": aid_json, "escapes": claims.replace('"iss"', '"\\u0069ss"', 1),
        "nested": '{"iss":"i","x":[[[{"a":[1,-0,18446744073709551615,true,null]}]]],"iss":"j"}',
        "surrogate": b'{"alg":"\xed\xa0\x80","typ":"","kid":""}',
        "identity": metadata, "printed_log": printed,
    })

    # Checkpoints signed by the audit seed's key (the checkpoint target opens notes
    # with it), one with another key's signature before ours, and proof bundles.
    tree = quorvex.ReceiptLog()
    for i in range(5):
        tree.append("did:aid:a:b", "dat_1", "t", b"%d" % i, signer)
    note = tree.checkpoint("example.com/log", signer)
    stranger = quorvex.KeyPair.from_secret_bytes(bytes(32))
    body, ours = note.rsplit("\n\n", 1)
    theirs = tree.checkpoint("example.com/log", stranger).rsplit("\n\n", 1)[1]
    write("checkpoint", {
        "signed": note, "cosigned": body + "\n\n" + theirs + ours,
        "empty_tree": quorvex.ReceiptLog().checkpoint("example.com/log", signer),
    })
    write("proof_bundle", {
        "five": tree.prove(3, note),
        "single": tree.prove(0, tree.checkpoint("example.com/log", signer, 1)),
    })
    delegation_seeds(signer)


def delegation_seeds(signer: quorvex.KeyPair) -> None:
    """Proofs for the proof target (its token, method and URL, iat at its clock) and chains
    whose root the audit seed's key signed, for the chain target."""
    import hashlib

    header = {"typ": "dpop+jwt", "alg": "EdDSA", "jwk": signer.public_key_jwk}
    claims = {"jti": "seed-1", "htm": "POST", "htu": "https://api.example.com/tools/files",
              "iat": 1765000000, "ath": b64(hashlib.sha256(b"token").digest())}

    def proof(head: dict[str, object], body: dict[str, object]) -> str:
        signing_input = b64(json.dumps(head).encode()) + "." + b64(json.dumps(body).encode())
        return signing_input + "." + b64(signer.sign(signing_input.encode()))

    write("proof", {
        "valid": proof(header, claims),
        "query_url": proof(header, dict(claims, htu="HTTPS://API.example.com:443/tools/files?a#b")),
        "made": signer.prove("token", "GET", "http://[::1]:8080/x?y"),
    })
    agent, sub = quorvex.KeyPair.generate(), quorvex.KeyPair.generate()
    root = quorvex.DAT.issue_constrained(
        "did:aid:example.com:root", "did:aid:example.com:a", ["mcp:tool:files:*"], 600, signer,
        constraints={"maxDelegationDepth": 3}, holder_key=agent.public_key_bytes)
    child = quorvex.DAT.delegate(root, "did:aid:example.com:b", ["mcp:tool:files:read"], 300,
                                 agent, holder_key=sub.public_key_bytes)
    grandchild = quorvex.DAT.delegate(child, "did:aid:example.com:c", ["mcp:tool:files:read"],
                                      60, sub)
    write("chain", {"one_link": child.to_compact(), "two_links": grandchild.to_compact(),
                    "root": root.to_compact()})


if __name__ == "__main__":
    sys.exit(main())
