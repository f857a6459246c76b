"""Throughput of quorvex and its peers (PyNaCl, cryptography) on one thread and
on as many threads as the machine has cores, with the ratio, in one run.

Every thread calls the same shared objects in a loop for a fixed time; the
figures are calls per second summed over the threads, best of a few rounds.
Other work on the machine lowers the ratios: run it on a quiet machine.

    PYTHONPATH=build/<dir> python3 bench/threads_bench.py [seconds per round]
"""
import os
import sys
import threading
import time

import nacl.signing
import quorvex
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

ROUNDS = 3
CHUNK = 20  # calls between clock reads


def run_threads(fn, threads, seconds):
    """Calls per second of fn, summed over `threads` threads calling it for `seconds`."""
    counts = [0] * threads
    start = threading.Barrier(threads + 1)

    def worker(index):
        start.wait()
        deadline = time.perf_counter() + seconds
        done = 0
        while time.perf_counter() < deadline:
            for _ in range(CHUNK):
                fn()
            done += CHUNK
        counts[index] = done

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in pool:
        t.join()
    return sum(counts) / (time.perf_counter() - began)


def best(fn, threads, seconds):
    return max(run_threads(fn, threads, seconds) for _ in range(ROUNDS))


def cases():
    seed = bytes(range(32))
    msg = b"m" * 64

    kp = quorvex.KeyPair.from_secret_bytes(seed)
    sig = kp.sign(msg)
    issuer = "did:aid:example.com:principal"
    subject = "did:aid:example.com:agent-7"
    scopes = ["mcp:tool:filesystem:read", "mcp:tool:search:*"]
    token = quorvex.DAT.issue(issuer, subject, scopes, 3600, kp, max_actions=100,
                              require_receipt=True, max_delegation_depth=2, min_trust_level=2)
    compact = token.to_compact()
    pub = kp.public_key_bytes
    ctx = quorvex.EvaluationContext()
    ctx.request_ip = "10.0.0.7"
    ctx.agent_trust_level = 3

    nacl_key = nacl.signing.SigningKey(seed)
    nacl_verify_key = nacl_key.verify_key
    nacl_signed = nacl_key.sign(msg)

    their_key = Ed25519PrivateKey.from_private_bytes(seed)
    their_pub = their_key.public_key()
    their_sig = their_key.sign(msg)

    return [
        ("quorvex KeyPair.sign", lambda: kp.sign(msg)),
        ("quorvex KeyPair.verify", lambda: kp.verify(msg, sig)),
        ("quorvex DAT.from_compact + verify",
         lambda: quorvex.DAT.from_compact(compact).verify(pub, "mcp:tool:filesystem:read", ctx)),
        ("quorvex DAT.issue", lambda: quorvex.DAT.issue(issuer, subject, scopes, 3600, kp)),
        ("PyNaCl SigningKey.sign", lambda: nacl_key.sign(msg)),
        ("PyNaCl VerifyKey.verify", lambda: nacl_verify_key.verify(nacl_signed)),
        ("cryptography Ed25519 sign", lambda: their_key.sign(msg)),
        ("cryptography Ed25519 verify", lambda: their_pub.verify(their_sig, msg)),
    ]


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    cores = os.cpu_count() or 1
    print(f"{'call':<36} {'1 thread':>12} {f'{cores} threads':>12}  scaling")
    for name, fn in cases():
        fn()  # every call checks out before it is timed
        one = best(fn, 1, seconds)
        many = best(fn, cores, seconds)
        print(f"{name:<36} {one:10,.0f}/s {many:10,.0f}/s  {many / one:5.2f}x")


if __name__ == "__main__":
    main()
