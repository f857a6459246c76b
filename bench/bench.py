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


def native_floors(binary, token_len):
    out = subprocess.run([binary, str(token_len)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


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

    floors = native_floors(binary, signing_input_len)

    sign = per_call(lambda: kp.sign(msg), 20000)
    crypto_sign = per_call(lambda: theirs.sign(msg), 20000)
    verify = per_call(lambda: kp.verify(msg, sig), 10000)
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

    ours_verify()
    jose_verify()
    dat_verify = per_call(ours_verify, 5000)
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
    row("KeyPair.generate", generate, [("vs libsodium+getrandom", floors["keygen"])])
    row("DAT.from_compact + verify", dat_verify,
        [("vs libsodium verify", floors["verify_token"]), ("vs JOSE+cryptography", jose_dat_verify)])
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
