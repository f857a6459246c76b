"""Benchmarks of AgentIdentity.load and of the AID JSON round trip against their
floor (the same file reads and key derivation in C++) and their peers (pure
Python with json and cryptography), measured in one run and printed as ratios.

Run with bench/run.sh, which builds the native floor program first; the figures
are printed, never asserted.
"""
import json
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

import quorvex
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

REPEAT = 7
ROUNDS = 3


def per_call(fn, number):
    """Best of REPEAT runs, in nanoseconds per call."""
    return min(timeit.Timer(fn).repeat(repeat=REPEAT, number=number)) / number * 1e9


def row(name, ns, comparisons):
    parts = [f"{name:<34} {ns / 1000:8.2f} us"]
    for label, other in comparisons:
        parts.append(f"{label} {ns / other:5.2f}x")
    print("  ".join(parts))


def python_load(directory):
    """What load does, in Python: read both files, rebuild the key, parse the document."""
    seed = bytes.fromhex((directory / "secret.key").read_text().strip())
    key = Ed25519PrivateKey.from_private_bytes(seed)
    key.public_key().public_bytes_raw()
    document = json.loads((directory / "aid.json").read_text())
    if not document["id"].startswith("did:aid:") or not document["controller"].startswith("did:"):
        raise ValueError("invalid document")
    return key, document


def main():
    floor_binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(tmp) / "alice"
        identity = quorvex.AgentIdentity.create("alice", "agents.test")
        identity.save(str(directory))
        path = str(directory)

        # Rounds interleave the three so that a busy moment does not favour one of them.
        floor = load = pure = float("inf")
        for _ in range(ROUNDS):
            out = subprocess.run([floor_binary, path], check=True, capture_output=True,
                                 text=True)
            floor = min(floor, json.loads(out.stdout)["load"])
            load = min(load, per_call(lambda: quorvex.AgentIdentity.load(path), 2000))
            pure = min(pure, per_call(lambda: python_load(directory), 2000))

    b = quorvex.AIDBuilder()
    b.id("did:aid:agents.test:alice")
    b.controller("did:aid:agents.test:controller")
    b.name("alice")
    b.description("Answers questions about the weather")
    b.model("m-7")
    b.runtime("r-1")
    b.trust_level("L2")
    b.add_ed25519_key(quorvex.KeyPair.generate())
    text = b.build().to_json()
    round_trip = per_call(lambda: quorvex.AID.from_json(text).to_json(), 20000)
    python_round_trip = per_call(lambda: json.dumps(json.loads(text), indent=2), 20000)

    print(f"quorvex {quorvex.__version__}, Python {sys.version.split()[0]}")
    row("AgentIdentity.load", load, [("vs C floor", floor), ("vs Python", pure)])
    row("  floor: 2 reads + key in C", floor, [])
    row("  Python: json + cryptography", pure, [])
    row("AID.from_json + to_json", round_trip, [("vs json", python_round_trip)])
    row("  json.loads + dumps(indent=2)", python_round_trip, [])
    print(f"targets: load within 1.5x of the floor and at most 1.0x of Python; "
          f"JSON round trip at least 3x faster than json (ratio at most 0.33x)")


if __name__ == "__main__":
    main()
