"""Benchmarks of quorvex against its floors (libsodium called from C++) and its
peers (cryptography, a JOSE library), measured in one run and printed as ratios.

Run with bench/run.sh, which builds the native floor program first.
"""
import json
import os
import subprocess
import sys
import time
import timeit
import warnings

import quorvex
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from joserfc import jws, jwt
from joserfc.jwk import OKPKey

REPEAT = 7

# The JOSE library warns that the name "EdDSA" is deprecated; the tokens use it.
warnings.filterwarnings("ignore", message=".*EdDSA.*")


def per_call(fn, number):
    """Best of REPEAT runs, in nanoseconds per call."""
    timer = timeit.Timer(fn)
    return min(timer.repeat(repeat=REPEAT, number=number)) / number * 1e9


def native_floors(binary, token_len, best=None):
    """The floor program's timings, kept where they beat those already in best."""
    best = {} if best is None else best
    out = subprocess.run([binary, str(token_len)], check=True, capture_output=True, text=True)
    for key, ns in json.loads(out.stdout).items():
        best[key] = min(ns, best.get(key, ns))
    return best


def side_by_side(fns, number):
    """Best of REPEAT rounds for each function, the functions taking turns in every round."""
    best = [float("inf")] * len(fns)
    for _ in range(REPEAT):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], timeit.Timer(fn).timeit(number=number) / number * 1e9)
    return best


def row(name, ns, comparisons):
    parts = [f"{name:<34} {ns / 1000:8.2f} us"]
    for label, other in comparisons:
        parts.append(f"{label} {ns / other:5.2f}x")
    print("  ".join(parts))


def main():
    binary = sys.argv[1]
    seed = bytes(range(32))
    kp = quorvex.KeyPair.from_secret_bytes(seed)
    theirs = Ed25519PrivateKey.from_private_bytes(seed)
    their_pub = theirs.public_key()
    msg = b"m" * 64
    sig = kp.sign(msg)

    # A token with constraints, checked against a filled context.
    issuer = "did:aid:example.com:principal"
    subject = "did:aid:example.com:agent-7"
    scopes = ["mcp:tool:filesystem:read", "mcp:tool:search:*"]
    dat = quorvex.DAT.issue(issuer, subject, scopes, 3600, kp, max_actions=100,
                            require_receipt=True, max_delegation_depth=2, min_trust_level=2)
    compact = dat.to_compact()
    signing_input_len = len(compact.rsplit(".", 1)[0])
    ctx = quorvex.EvaluationContext()
    ctx.request_ip = "10.0.0.7"
    ctx.country_code = "DE"
    ctx.agent_trust_level = 3
    ctx.delegation_depth = 1
    ctx.actions_in_window = 5
    pk = kp.public_key_bytes

    # A token carrying every kind of constraint, all of them met by the context.
    now = int(time.time())
    full_claims = {
        "iss": issuer, "sub": subject, "iat": now, "exp": now + 3600, "nbf": now,
        "jti": "dat_01J00000000000000000000000", "scope": scopes,
        "constraints": {
            "maxActions": 1000, "allowedServers": ["srv-a.example.com", "srv-b.example.com"],
            "requireReceipt": True, "rateLimit": {"max_actions": 100, "window_secs": 3600},
            "ipAllowlist": ["10.0.0.0/8", "192.168.0.0/16", "2001:db8::/32"],
            "ipDenylist": ["10.9.9.9/32"], "minTrustLevel": 2, "maxDelegationDepth": 3,
            "allowedCountries": ["DE", "FR", "US"],
            "timeWindows": [{"start_hour": 0, "end_hour": 23, "days_of_week": [0, 1, 2, 3, 4, 5, 6]},
                            {"start_hour": 22, "end_hour": 6}],
            "requiredConfigHash": "blake3:" + "0123456789abcdef" * 4,
        },
        "delegationChain": [],
    }
    full_header = {"alg": "EdDSA", "typ": "quorvex-dat+jwt", "kid": issuer + "#key-ed25519"}
    full_input = ".".join(jws_b64(json.dumps(part, separators=(",", ":")).encode())
                          for part in (full_header, full_claims))
    full_compact = full_input + "." + jws_b64(kp.sign(full_input.encode()))
    ctx.agent_config_hash = full_claims["constraints"]["requiredConfigHash"]

    sign = per_call(lambda: kp.sign(msg), 20000)
    crypto_sign = per_call(lambda: theirs.sign(msg), 20000)
    # Refusals side by side with an accepted verification: a forged signature, and the right
    # signature checked by the wrong key pair; then a forged R through a key given as bytes.
    other = quorvex.KeyPair.from_secret_bytes(bytes(range(1, 33)))
    forged = bytes([sig[0] ^ 1]) + sig[1:]
    head, _, sig_text = compact.rpartition(".")
    forged_dat = quorvex.DAT.from_compact(
        head + "." + ("B" if sig_text[0] == "A" else "A") + sig_text[1:])
    assert kp.verify(msg, sig) and not kp.verify(msg, forged) and not other.verify(msg, sig)
    assert dat.verify_signature(pk) and not forged_dat.verify_signature(pk)
    verify, wrong_sig, wrong_key = side_by_side(
        [lambda: kp.verify(msg, sig), lambda: kp.verify(msg, forged),
         lambda: other.verify(msg, sig)], 2000)
    dat_sig, dat_forged = side_by_side(
        [lambda: dat.verify_signature(pk), lambda: forged_dat.verify_signature(pk)], 2000)
    crypto_verify = per_call(lambda: their_pub.verify(sig, msg), 10000)
    generate = per_call(quorvex.KeyPair.generate, 20000)

    def ours_verify():
        quorvex.DAT.from_compact(compact).verify(pk, "mcp:tool:filesystem:read", ctx)

    okp = OKPKey.import_key(
        {"kty": "OKP", "crv": "Ed25519",
         "d": jws_b64(seed), "x": jws_b64(pk)})

    def jose_verify():
        token = jwt.decode(compact, okp, algorithms=["EdDSA"])
        claims = token.claims
        now = int(time.time())
        if now > claims["exp"] or now < claims["nbf"]:
            raise ValueError("Expired")
        if not any(covers(s, "mcp:tool:filesystem:read") for s in claims["scope"]):
            raise ValueError("ScopeNotCovered")
        c = claims.get("constraints") or {}
        if "maxDelegationDepth" in c and 1 > c["maxDelegationDepth"]:
            raise ValueError("DelegationDepthExceeded")
        if "minTrustLevel" in c and c["minTrustLevel"] <= 4 and 3 < c["minTrustLevel"]:
            raise ValueError("InsufficientTrustLevel")

    def ours_verify_full():
        quorvex.DAT.from_compact(full_compact).verify(pk, "mcp:tool:filesystem:read", ctx)

    ours_verify()
    ours_verify_full()
    jose_verify()
    # The token rows and their floors take turns, so that both see the same machine.
    floors, full_floors = {}, {}
    dat_verify = dat_verify_full = float("inf")
    for _ in range(3):
        native_floors(binary, signing_input_len, floors)
        native_floors(binary, len(full_input), full_floors)
        issued_ns, full_ns = side_by_side([ours_verify, ours_verify_full], 1000)
        dat_verify, dat_verify_full = min(dat_verify, issued_ns), min(dat_verify_full, full_ns)
    full_floor = full_floors["verify_token"]
    jose_dat_verify = per_call(jose_verify, 2000)

    def ours_issue():
        quorvex.DAT.issue(issuer, subject, scopes, 3600, kp, max_actions=100,
                          require_receipt=True, max_delegation_depth=2,
                          min_trust_level=2).to_compact()

    claims = json.loads(b64d(compact.split(".")[1]))
    header = {"alg": "EdDSA", "typ": "quorvex-dat+jwt", "kid": issuer + "#key-ed25519"}

    def jose_issue():
        jwt.encode(header, claims, okp, algorithms=["EdDSA"])

    dat_issue = per_call(ours_issue, 10000)
    jose_dat_issue = per_call(jose_issue, 5000)

    print(f"quorvex {quorvex.__version__} on Python {sys.version.split()[0]}; "
          f"ratios below 1 mean quorvex is faster. Token signing input: {signing_input_len} bytes.")
    row("KeyPair.sign (64 B)", sign,
        [("vs libsodium", floors["sign"]), ("vs cryptography", crypto_sign)])
    row("KeyPair.verify (64 B)", verify,
        [("vs libsodium", floors["verify"]), ("vs cryptography", crypto_verify)])
    row("KeyPair.verify, forged signature", wrong_sig, [("vs accepted", verify)])
    row("KeyPair.verify, wrong key pair", wrong_key, [("vs accepted", verify)])
    row("DAT.verify_signature, forged", dat_forged, [("vs accepted", dat_sig)])
    row("KeyPair.generate", generate, [("vs libsodium+getrandom", floors["keygen"])])
    row("DAT.from_compact + verify", dat_verify,
        [("vs libsodium verify", floors["verify_token"]), ("vs JOSE+cryptography", jose_dat_verify)])
    row(f"  every constraint ({len(full_input)} B)", dat_verify_full,
        [("vs libsodium verify", full_floor)])
    row("DAT.issue + to_compact", dat_issue,
        [("vs libsodium sign", floors["sign_token"]), ("vs JOSE encode", jose_dat_issue)])


def jws_b64(raw):
    import base64
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def b64d(text):
    import base64
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def covers(granted, requested):
    g, r = granted.split(":"), requested.split(":")
    return len(g) == 4 and len(r) == 4 and all(a == "*" or a == b for a, b in zip(g, r))


if __name__ == "__main__":
    main()
