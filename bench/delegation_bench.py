"""Holder-bound tokens, proofs of possession and delegation chains: DAT.authorize with a proof,
DAT.authorize of a three-link chain, KeyPair.prove and the process's replay memory, against
the floor of the libsodium calls they make (timed from C++, on messages of the same sizes) and
against JOSE libraries making the same checks by hand, measured in one run.

    python bench/delegation_bench.py NATIVE_BENCH

Run with bench/run.sh, which builds the native floor program first. Timings are printed, never
judged.
"""
import base64
import hashlib
import json
import subprocess
import sys
import time
import warnings

from quorvex import DAT, KeyPair

ISSUER = "did:aid:bench.example:principal"
AGENT = "did:aid:bench.example:agent"
URL = "https://api.bench.example/tools/files"
GRANTED = ["mcp:tool:files:*"]
SCOPE = "mcp:tool:files:read"
ROUNDS = 5
WINDOW = 60  # DAT.authorize's default proof_window, in seconds
REPLAY_SIZES = (10_000, 200_000)

# The JOSE library warns that the name "EdDSA" is deprecated; the tokens use it.
warnings.filterwarnings("ignore", message=".*EdDSA.*")


def best_us(call, inputs_for, number, rounds=ROUNDS):
    """Best of `rounds` runs, in microseconds per call. Each run's inputs (fresh proofs, say)
    are made by inputs_for(number) before its clock starts."""
    best = float("inf")
    for _ in range(rounds):
        inputs = inputs_for(number)
        start = time.perf_counter()
        for item in inputs:
            call(item)
        best = min(best, (time.perf_counter() - start) / number)
    return best * 1e6


def same(value):
    return lambda number: [value] * number


def signing_input_len(compact):
    return len(compact.rsplit(".", 1)[0])


class Floors:
    """libsodium's sign and verify from C++, in microseconds, for messages of given sizes:
    the best of the floor program's runs, one per size each time measure() is called."""

    def __init__(self, binary):
        self.binary = binary
        self.runs = {}

    def measure(self, lengths):
        for length in sorted(set(lengths)):
            out = subprocess.run([self.binary, str(length)], check=True, capture_output=True,
                                 text=True).stdout
            best = self.runs.setdefault(length, {})
            for key, ns in json.loads(out).items():
                best[key] = min(ns / 1000, best.get(key, float("inf")))

    def verify(self, length):
        return self.runs[length]["verify_token"]

    def sign(self, length):
        return self.runs[length]["sign_token"]


class AlwaysNew:
    """A shared replay store that answers at once: what the call costs without the process's
    own memory, a proof reused as often as wanted."""

    def remember(self, key, expires_at):
        return True


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def row(name, us, comparisons=()):
    parts = [f"{name:<44} {us:8.1f} us"]
    for text, other in comparisons:
        parts.append(f"{us / other:5.2f}x {text}")
    print("  ".join(parts))


def b64u(raw):
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def covers(granted, requested):
    g, r = granted.split(":"), requested.split(":")
    return len(g) == 4 and len(r) == 4 and all(a == "*" or a == b for a, b in zip(g, r))


class Remembered:
    """What the process's replay memory holds: every proof accepted without a replay store,
    until iat + WINDOW."""

    def __init__(self):
        self.batches = []  # (second the batch's proofs were made by, how many)

    def add(self, made_at, count):
        self.batches.append((made_at, count))

    def live(self):
        now = int(time.time())
        return sum(count for made_at, count in self.batches if made_at + WINDOW > now)


def main():
    floors = Floors(sys.argv[1])
    principal = KeyPair.from_secret_bytes(hashlib.sha256(b"principal").digest())
    agent = KeyPair.from_secret_bytes(hashlib.sha256(b"agent").digest())
    trusted = {ISSUER: principal.public_key_bytes}
    remembered = Remembered()

    token = DAT.issue_constrained(ISSUER, AGENT, GRANTED, 600, principal,
                                  holder_key=agent.public_key_bytes)
    compact = token.to_compact()

    def proofs_for(holder, tok):
        def make(number):
            made_at = int(time.time())
            proofs = [holder.prove(tok, "POST", URL) for _ in range(number)]
            remembered.add(made_at, number)
            return proofs
        return make

    def authorize(proof):
        token.authorize(trusted, SCOPE, proof=proof, method="POST", url=URL)

    # A leaf whose delegationChain holds three tokens: the root, then two helpers' tokens, each
    # bound to the next holder's key.
    holders = [agent] + [KeyPair.from_secret_bytes(hashlib.sha256(b"helper %d" % i).digest())
                         for i in range(3)]
    links = [token]
    for i in range(3):
        links.append(DAT.delegate(links[-1], f"did:aid:bench.example:helper-{i}", [SCOPE], 300,
                                  holders[i], holder_key=holders[i + 1].public_key_bytes))
    leaf = links[-1]
    assert len(leaf.delegation_chain) == 3

    def authorize_chain(proof):
        leaf.authorize(trusted, SCOPE, proof=proof, method="POST", url=URL)

    bearer = DAT.issue(ISSUER, AGENT, GRANTED, 600, principal)
    proof = agent.prove(token, "POST", URL)
    leaf_proof = holders[3].prove(leaf, "POST", URL)
    assert json.loads(base64.urlsafe_b64decode(proof.split(".")[1] + "=="))["ath"] == b64u(
        hashlib.sha256(compact.encode()).digest())

    token_len, proof_len = signing_input_len(compact), signing_input_len(proof)
    chain_lens = [signing_input_len(link.to_compact()) for link in links]
    leaf_proof_len = signing_input_len(leaf_proof)
    floor_lens = [token_len, proof_len, leaf_proof_len, *chain_lens]

    # Warm up every path once.
    authorize(agent.prove(token, "POST", URL))
    authorize_chain(holders[3].prove(leaf, "POST", URL))
    remembered.add(int(time.time()), 2)
    bearer.authorize(trusted, SCOPE)

    # The machine's speed drifts over seconds, so the rounds of every timing and of the floors
    # are interleaved, and the best of each kept: a slow spell then slows them all alike.
    store = AlwaysNew()
    timings = {
        "with_proof": (authorize, proofs_for(agent, token), 1000),
        # One fresh proof a round, reused: the store answers that it is new each time.
        "with_store": (
            lambda p: token.authorize(trusted, SCOPE, proof=p, method="POST", url=URL,
                                      replay=store),
            lambda number: [agent.prove(token, "POST", URL)] * number, 1000),
        "chain": (authorize_chain, proofs_for(holders[3], leaf), 300),
        "prove": (lambda _: agent.prove(token, "POST", URL), same(None), 2000),
        "plain": (lambda _: bearer.authorize(trusted, SCOPE), same(None), 2000),
    }
    best = dict.fromkeys(timings, float("inf"))
    for _ in range(ROUNDS):
        floors.measure(floor_lens)
        for name, (call, inputs_for, number) in timings.items():
            best[name] = min(best[name], best_us(call, inputs_for, number, rounds=1))
    floors.measure(floor_lens)
    with_proof, with_store, chain, prove, plain = (
        best[name] for name in ("with_proof", "with_store", "chain", "prove", "plain"))

    one = floors.verify(token_len)
    both = one + floors.verify(proof_len)
    chain_floor = sum(floors.verify(n) for n in chain_lens) + floors.verify(leaf_proof_len)
    sign_floor = floors.sign(proof_len)

    print(f"signing inputs: token {token_len} B, proof {proof_len} B, chain "
          f"{' + '.join(map(str, chain_lens))} B; libsodium verify of the token's "
          f"{one:.1f} us, sign of a proof's {sign_floor:.1f} us")
    row("authorize, proof, process replay memory", with_proof,
        [("one libsodium verify (target 2.2x)", one),
         (f"the 2 verifications it makes, {both:.1f} us", both)])
    row("authorize, proof, replay=<remember -> True>", with_store,
        [("one libsodium verify", one)])
    row("authorize, 3-link chain + proof", chain,
        [(f"5 libsodium verifies, {chain_floor:.1f} us (target 1.1x)", chain_floor)])
    row("KeyPair.prove", prove, [("one libsodium sign (target 1.2x)", sign_floor)])
    row("authorize, bearer token, no proof", plain, [("one libsodium verify", one)])

    # A fresh proof: the one above may have left its window while the rounds ran.
    jose_peers(compact, agent.prove(token, "POST", URL), principal, agent, with_proof)
    replay_memory(authorize, proofs_for(agent, token), remembered)


def jose_peers(compact, proof, principal, agent, ours):
    """A JOSE library checking the same token and proof as authorize does: both signatures,
    the times, the scope, the proof's key against the token's, its method, URL, age and token
    hash, and its jti against a dict of those seen."""
    ath = b64u(hashlib.sha256(compact.encode()).digest())

    def check(claims, proof_header, proof_claims, seen):
        now = int(time.time())
        if not claims["nbf"] <= now < claims["exp"]:
            raise ValueError("Expired")
        if not any(covers(s, SCOPE) for s in claims["scope"]):
            raise ValueError("ScopeNotCovered")
        if proof_header.get("typ") != "dpop+jwt" or proof_header["jwk"] != claims["cnf"]["jwk"]:
            raise ValueError("ProofKeyMismatch")
        if (proof_claims["htm"] != "POST" or proof_claims["htu"] != URL
                or abs(now - proof_claims["iat"]) > WINDOW or proof_claims["ath"] != ath):
            raise ValueError("ProofInvalid")
        if proof_claims["jti"] in seen:
            raise ValueError("ProofReplayed")
        seen[proof_claims["jti"]] = proof_claims["iat"] + WINDOW

    peers = []
    try:
        from joserfc import jws, jwt
        from joserfc.jwk import OKPKey

        issuer_key = OKPKey.import_key({"kty": "OKP", "crv": "Ed25519",
                                        "x": b64u(principal.public_key_bytes)})

        def joserfc_token(_):
            jwt.decode(compact, issuer_key, algorithms=["EdDSA"])

        def joserfc_both(seen):
            claims = jwt.decode(compact, issuer_key, algorithms=["EdDSA"]).claims
            header = jws.extract_compact(proof.encode()).headers()
            proof_claims = jwt.decode(proof, OKPKey.import_key(header["jwk"]),
                                      algorithms=["EdDSA"]).claims
            check(claims, header, proof_claims, seen)

        peers.append(("joserfc", joserfc_token, joserfc_both))
    except ImportError:
        pass
    try:
        import jwt as pyjwt
        from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

        issuer_public = Ed25519PublicKey.from_public_bytes(principal.public_key_bytes)

        def pyjwt_token(_):
            pyjwt.decode(compact, issuer_public, algorithms=["EdDSA"])

        def pyjwt_both(seen):
            claims = pyjwt.decode(compact, issuer_public, algorithms=["EdDSA"])
            header = pyjwt.get_unverified_header(proof)
            key = pyjwt.PyJWK(header["jwk"], "EdDSA").key
            check(claims, header, pyjwt.decode(proof, key, algorithms=["EdDSA"]), seen)

        peers.append(("PyJWT", pyjwt_token, pyjwt_both))
    except ImportError:
        pass
    if not peers:
        print("(no JOSE library installed: joserfc or PyJWT would be compared here)")
    for name, token_only, both in peers:
        token_only(None)
        both({})
        one_jwt = best_us(token_only, same(None), 1000)
        # The same proof each time: a fresh dict of seen jtis per call.
        checked = best_us(both, lambda n: [{} for _ in range(n)], 1000)
        print(f"{name}: decode + verify the token (one EdDSA JWT) {one_jwt:.1f} us; token and "
              f"proof checked by hand {checked:.1f} us, authorize with a proof "
              f"{ours / checked:.2f}x that")


def replay_memory(authorize, make_proofs, remembered):
    """authorize with a proof as the process's replay memory fills: the same call at about
    10,000 and about 200,000 remembered proofs."""
    batch = 1000
    results = []
    rss_at = {}
    for target in REPLAY_SIZES:
        while remembered.live() < target:
            for p in make_proofs(min(batch, target - remembered.live())):
                authorize(p)
        rss_at[target] = rss_kib()
        live = remembered.live()
        results.append((live, best_us(authorize, make_proofs, batch)))
    (small, small_us), (large, large_us) = results
    print(f"replay memory: authorize with a proof at {small:,} proofs remembered "
          f"{small_us:.1f} us, at {large:,} {large_us:.1f} us ({large_us / small_us:.2f}x)")
    grown = (rss_at[REPLAY_SIZES[1]] - rss_at[REPLAY_SIZES[0]]) * 1024
    print(f"    resident memory grew {grown / 2**20:.1f} MiB from {REPLAY_SIZES[0]:,} to "
          f"{REPLAY_SIZES[1]:,} (about {grown / (REPLAY_SIZES[1] - REPLAY_SIZES[0]):.0f} B a "
          f"proof); an entry lives until its proof's iat + {WINDOW} s, so the memory holds the "
          f"proofs of the last {WINDOW} s, not every proof ever seen")


if __name__ == "__main__":
    main()
