"""Throughput of quorvex and its peers (PyNaCl, cryptography) on one thread and
on as many threads as the machine has cores, with the ratio, in one run.

Every thread calls the same shared objects in a loop for a fixed time; the
figures are calls per second summed over the threads, best of a few rounds.
Other work on the machine lowers the ratios: run it on a quiet machine. The
last column shows how many cores other processes kept busy meanwhile.

    PYTHONPATH=build/<dir> python3 bench/threads_bench.py [seconds per round]
"""
import os
import resource
import sys
import threading
import time

import nacl.signing
import quorvex
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

ROUNDS = 5
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


def busy_seconds():
    """CPU seconds the whole machine and this process have spent so far (machine: Linux only)."""
    me = resource.getrusage(resource.RUSAGE_SELF)
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        machine = (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        machine = float("nan")
    return machine, me.ru_utime + me.ru_stime


def best_pair(fn, threads, seconds):
    """Best throughput on one thread and on `threads`, rounds alternating so that a burst of
    other work on the machine costs both sides alike."""
    one = many = 0.0
    for _ in range(ROUNDS):
        one = max(one, run_threads(fn, 1, seconds))
        many = max(many, run_threads(fn, threads, seconds))
    return one, many


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
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 0.5
    cores = os.cpu_count() or 1
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"load average at start: {load} (on {cores} cores)")
    print(f"{'call':<36} {'1 thread':>12} {f'{cores} threads':>12}  scaling  other work")
    for name, fn in cases():
        fn()  # every call checks out before it is timed
        machine, mine = busy_seconds()
        began = time.perf_counter()
        one, many = best_pair(fn, cores, seconds)
        machine_after, mine_after = busy_seconds()
        # Cores kept busy by other processes meanwhile: above 0.1 or so, the ratio is low.
        others = max(0.0, (machine_after - machine) - (mine_after - mine))
        others /= time.perf_counter() - began
        print(f"{name:<36} {one:10,.0f}/s {many:10,.0f}/s  {many / one:5.2f}x  "
              f"{others:5.2f} cores")


if __name__ == "__main__":
    main()
