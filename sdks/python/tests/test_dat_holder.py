"""Holder-bound tokens, proofs of possession, delegation chains and revocation, as a service
sees them through DAT.authorize, and the ways an attacker would try to get past them."""

import base64
import hashlib
import json
import threading
import time

import pytest

from quorvex import DAT, EvaluationContext, KeyPair
from tokens import b64u, b64u_decode, compact_json, segments, signed

ROOT_ISS = "did:aid:example.com:principal"
A, B, C = "did:aid:example.com:a", "did:aid:example.com:b", "did:aid:example.com:c"
URL = "https://api.example.com/tools/files"
SCOPE = "mcp:tool:files:read"

principal, key_a, key_b, key_c = (KeyPair.generate() for _ in range(4))
TRUSTED = {ROOT_ISS: principal.public_key_bytes}


def bound_root(scope=("mcp:tool:files:*",), expires=600, **constraints):
    return DAT.issue_constrained(ROOT_ISS, A, list(scope), expires, principal,
                                 constraints=constraints or None,
                                 holder_key=key_a.public_key_bytes)


def chain(links=3):
    """A leaf whose delegationChain holds `links` tokens, each bound to the next holder."""
    holders = [key_a, key_b, key_c, key_a]
    token = bound_root()
    for i in range(links):
        token = DAT.delegate(token, f"did:aid:example.com:n{i + 1}", [SCOPE], 300, holders[i],
                             holder_key=holders[i + 1].public_key_bytes)
    return token, holders[links]


def authorize(token, holder=None, method="POST", url=URL, **kw):
    proof = holder.prove(token, method, url) if holder is not None else None
    token.authorize(TRUSTED, SCOPE, proof=proof, method=method, url=url, **kw)


def refusal(call, *args, **kw):
    with pytest.raises(ValueError) as caught:
        call(*args, **kw)
    return caught.value.code, str(caught.value)


def forged_link(claims, key, kid=None):
    """A token over any claims, signed by key with the header DAT.issue writes."""
    kid = (kid or claims["iss"]) + "#key-ed25519"
    header = {"alg": "EdDSA", "typ": "quorvex-dat+jwt", "kid": kid}
    return signed(header, claims, key)


def claims_of(token):
    return json.loads(segments(token if isinstance(token, str) else token.to_compact())[1])


class TestHolderBinding:
    def test_cnf_is_the_holders_okp_jwk_and_plain_readers_still_verify(self):
        token = bound_root()
        assert claims_of(token)["cnf"] == {"jwk": key_a.public_key_jwk}
        assert token.bound_key == key_a.public_key_bytes
        # The check of the Parts' reader skips the unknown claim.
        token.verify(principal.public_key_bytes, SCOPE)
        plain = DAT.issue(ROOT_ISS, A, [SCOPE], 600, principal)
        assert plain.bound_key is None and "cnf" not in claims_of(plain)
        plain.authorize(TRUSTED, SCOPE)  # bearer tokens need no proof

    @pytest.mark.parametrize("cnf", [
        {"jkt": "abc"},
        {"jwk": {"kty": "EC", "crv": "P-256", "x": "AA", "y": "AA"}},
        {"jwk": dict(KeyPair.generate().public_key_jwk, d=b64u(bytes(32)))},
        {"jwk": {"kty": "OKP", "crv": "Ed25519", "x": b64u(bytes(31))}},
    ])
    def test_a_cnf_naming_no_usable_key_binds_to_nothing_anyone_can_prove(self, cnf):
        now = int(time.time())
        text = forged_link({"iss": ROOT_ISS, "sub": A, "iat": now, "exp": now + 60, "nbf": now,
                            "jti": "dat_x", "scope": [SCOPE], "cnf": cnf}, principal)
        token = DAT.from_compact(text)
        expected = ("InvalidDatError: invalid DAT: cnf must hold the holder's Ed25519 public key "
                    'as a jwk ({"kty": "OKP", "crv": "Ed25519", "x": ...})')
        with pytest.raises(ValueError) as caught:
            token.bound_key
        assert str(caught.value) == expected
        with pytest.raises(ValueError) as caught:
            authorize(token, key_a)
        assert (caught.value.code, str(caught.value)) == ("InvalidDat", expected)


class TestProof:
    def test_shape_is_a_dpop_proof_for_this_request_and_token(self):
        token = bound_root()
        before = int(time.time())
        proof = key_a.prove(token, "POST", "https://API.Example.com:443/tools/files?x=1#frag")
        header, body = segments(proof)
        assert json.loads(header) == {"typ": "dpop+jwt", "alg": "EdDSA",
                                      "jwk": key_a.public_key_jwk}
        claims = json.loads(body)
        assert list(claims) == ["jti", "htm", "htu", "iat", "ath"]
        assert claims["htm"] == "POST" and claims["htu"] == URL
        assert before <= claims["iat"] <= int(time.time())
        digest = hashlib.sha256(token.to_compact().encode()).digest()
        assert claims["ath"] == b64u(digest)
        assert len(b64u_decode(claims["jti"])) == 16
        assert key_a.prove(token.to_compact(), "POST", URL) != proof

    @pytest.mark.parametrize("method, url, message", [
        ("", URL, "method must not be empty"),
        ("GET", "/tools/files", 'url must be an absolute http or https URL, got: "/tools/files"'),
        ("GET", "ftp://h/x", 'url must be an absolute http or https URL, got: "ftp://h/x"'),
        ("GET", "https://u@h/x", 'url must be an absolute http or https URL, got: "https://u@h/x"'),
        ("GET", "https://h:x/", 'url must be an absolute http or https URL, got: "https://h:x/"'),
        ("GET", "https://h/a b", 'url must be an absolute http or https URL, got: "https://h/a b"'),
        *[("GET", url, f'url must be an absolute http or https URL, got: "{url}"')
          for url in ("http://:h:/x", "http://a:b:80/", "http://[::1/", "http://h]/", "http://[]/")],
    ])
    def test_prove_refuses_what_no_request_has(self, method, url, message):
        assert refusal(key_a.prove, bound_root(), method, url) == ("InvalidArgument", message)

    @pytest.mark.parametrize("sent, seen", [
        ("https://API.example.com:443/tools/files?x=1", URL),
        ("HTTPS://api.example.com/tools/files#f", URL),
        ("http://h:80", "http://h/"),
        ("http://[::1]:8080/a?", "http://[::1]:8080/a"),
        ("http://h:/a", "http://h/a"),
    ])
    def test_url_is_compared_without_query_fragment_case_or_default_port(self, sent, seen):
        token = bound_root()
        token.authorize(TRUSTED, SCOPE, proof=key_a.prove(token, "GET", sent), method="GET",
                        url=seen)

    def test_a_bound_token_is_refused_without_its_proof_or_with_anothers(self):
        token = bound_root()
        assert refusal(authorize, token) == (
            "ProofRequired",
            "the token is bound to its holder's key: the request must carry a proof of possession")
        other = bound_root()
        moved = [
            (dict(holder=key_b), "proof is signed with a key other than the one the token binds"),
            (dict(proof=key_a.prove(token, "GET", URL)),
             'proof htm "GET" is not the request\'s method "POST"'),
            (dict(proof=key_a.prove(token, "POST", URL + "/x")),
             'proof htu "https://api.example.com/tools/files/x" is not the request\'s URL '
             '"https://api.example.com/tools/files"'),
            (dict(proof=key_a.prove(other, "POST", URL)),
             "proof ath is not the hash of this token"),
        ]
        for given, message in moved:
            if "holder" in given:
                got = refusal(authorize, token, given["holder"])
            else:
                got = refusal(token.authorize, TRUSTED, SCOPE, proof=given["proof"],
                              method="POST", url=URL)
            assert got == ("ProofInvalid", message)

    def test_a_proof_is_good_once(self):
        token = bound_root()
        proof = key_a.prove(token, "POST", URL)
        token.authorize(TRUSTED, SCOPE, proof=proof, method="POST", url=URL)
        code, message = refusal(token.authorize, TRUSTED, SCOPE, proof=proof, method="POST",
                                url=URL)
        jti = json.loads(segments(proof)[1])["jti"]
        assert (code, message) == ("ProofReplayed", f'proof "{jti}" has been used before')

    def test_a_refused_request_does_not_use_up_its_proof(self):
        token = bound_root()
        proof = key_a.prove(token, "POST", URL)
        assert refusal(token.authorize, TRUSTED, "mcp:tool:mail:send", proof=proof,
                       method="POST", url=URL)[0] == "ScopeNotCovered"
        token.authorize(TRUSTED, SCOPE, proof=proof, method="POST", url=URL)

    def test_threads_racing_one_proof_let_exactly_one_through(self):
        token = bound_root()
        proof = key_a.prove(token, "POST", URL)
        outcomes = []

        def attempt():
            try:
                token.authorize(TRUSTED, SCOPE, proof=proof, method="POST", url=URL)
                outcomes.append("ok")
            except ValueError as refused:
                outcomes.append(refused.code)

        threads = [threading.Thread(target=attempt) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sorted(outcomes) == ["ProofReplayed"] * 7 + ["ok"]

    def handmade(self, token, key=key_a, header=None, **claims):
        now = int(time.time())
        body = {"jti": "j" + str(time.monotonic_ns()), "htm": "POST", "htu": URL, "iat": now,
                "ath": b64u(hashlib.sha256(token.to_compact().encode()).digest())}
        body.update(claims)
        head = {"typ": "dpop+jwt", "alg": "EdDSA", "jwk": key.public_key_jwk}
        head.update(header or {})
        return signed(head, {k: v for k, v in body.items() if v is not None}, key)

    def test_iat_must_lie_within_the_window_either_way(self):
        token = bound_root()
        now = int(time.time())
        for iat in (now - 120, now + 120, -2**63, 2**63 - 1):
            proof = self.handmade(token, iat=iat)
            assert refusal(token.authorize, TRUSTED, SCOPE, proof=proof, method="POST",
                           url=URL) == (
                "ProofInvalid", f"proof iat {iat} is not within 60 seconds of now")
        token.authorize(TRUSTED, SCOPE, proof=self.handmade(token, iat=now - 120), method="POST",
                        url=URL, proof_window=300)

    @pytest.mark.parametrize("header, claims, message", [
        ({"typ": "JWT"}, {}, 'proof header typ must be "dpop+jwt"'),
        ({"alg": "none"}, {}, 'proof header alg must be "EdDSA"'),
        ({"crit": ["exp"]}, {}, "proof header has crit members this verifier does not know"),
        ({"jwk": {"kty": "OKP", "crv": "X25519", "x": b64u(bytes(32))}}, {},
         "proof header jwk must be an Ed25519 public key"),
        ({}, {"jti": None}, "proof jti must be 1 to 256 bytes"),
        ({}, {"jti": "x" * 257}, "proof jti must be 1 to 256 bytes"),
        ({}, {"htm": None}, 'proof htm "" is not the request\'s method "POST"'),
        ({}, {"htu": "not a url"}, 'proof htu "not a url" is not the request\'s URL '
                                   '"https://api.example.com/tools/files"'),
        ({}, {"ath": None}, "proof ath is not the hash of this token"),
        ({}, {"iat": None}, "proof has no iat"),
        ({}, {"iat": "now"}, "proof claims cannot be read: invalid type: string \"now\", "
                             "expected i64 at line 1 column 86"),
    ])
    def test_malformed_proofs_are_refused_with_their_fault(self, header, claims, message):
        token = bound_root()
        proof = self.handmade(token, header=header, **claims)
        code, got = refusal(token.authorize, TRUSTED, SCOPE, proof=proof, method="POST", url=URL)
        assert code == "ProofInvalid"
        if "line 1" in message:
            assert got.startswith(message.split(" at line")[0])
        else:
            assert got == message

    @pytest.mark.parametrize("proof, message", [
        ("a.b", "proof must be a compact JWS of 3 parts"),
        ("a.b.c.d", "proof must be a compact JWS of 3 parts"),
        ("!.b.c", "proof must be a compact JWS of 3 base64url parts"),
        ("x" * 8193, "proof is longer than 8192 bytes"),
    ])
    def test_what_is_no_jws_is_refused(self, proof, message):
        token = bound_root()
        assert refusal(token.authorize, TRUSTED, SCOPE, proof=proof, method="POST",
                       url=URL) == ("ProofInvalid", message)

    def test_signature_must_verify_with_the_header_key(self):
        token = bound_root()
        proof = key_a.prove(token, "POST", URL)
        head, body, sig = proof.split(".")
        bad = b64u(bytes([b64u_decode(sig)[0] ^ 1]) + b64u_decode(sig)[1:])
        assert refusal(token.authorize, TRUSTED, SCOPE, proof=f"{head}.{body}.{bad}",
                       method="POST", url=URL) == (
            "ProofInvalid", "proof signature does not verify with its jwk")

    @pytest.mark.parametrize("kw, message", [
        (dict(proof="a.b.c"), "method and url are required with a proof"),
        (dict(proof="a.b.c", method="GET"), "method and url are required with a proof"),
        (dict(url="/relative"), 'url must be an absolute http or https URL, got: "/relative"'),
        (dict(proof_window=0), "proof_window must be between 1 and 3600 seconds"),
        (dict(proof_window=3601), "proof_window must be between 1 and 3600 seconds"),
    ])
    def test_the_callers_own_values_are_checked_first(self, kw, message):
        assert refusal(bound_root().authorize, TRUSTED, SCOPE, **kw) == ("InvalidArgument",
                                                                         message)


class TestReplayStore:
    class Shared:
        """What a service would keep in a shared cache: every worker asks the same one."""

        def __init__(self):
            self.seen = {}

        def remember(self, key, expires_at):
            if key in self.seen:
                return False
            self.seen[key] = expires_at
            return True

    def test_a_replay_in_another_worker_is_caught_by_the_shared_store(self):
        store = self.Shared()
        token = bound_root()
        proof = key_a.prove(token, "POST", URL)
        token.authorize(TRUSTED, SCOPE, proof=proof, method="POST", url=URL, replay=store)
        ((key, expires_at),) = store.seen.items()
        claims = json.loads(segments(proof)[1])
        assert key == key_a.jwk_thumbprint + ":" + claims["jti"]
        assert expires_at == claims["iat"] + 60
        # Another worker parses its own copy of the token: the store still knows the proof.
        copy = DAT.from_compact(token.to_compact())
        assert refusal(copy.authorize, TRUSTED, SCOPE, proof=proof, method="POST", url=URL,
                       replay=store)[0] == "ProofReplayed"

    def test_a_store_that_answers_no_bool_or_raises_is_not_taken_as_yes(self):
        token = bound_root()

        class Loose:
            def remember(self, key, expires_at):
                return 1

        class Broken:
            def remember(self, key, expires_at):
                raise ConnectionError("cache down")

        with pytest.raises(TypeError, match=r"^replay.remember\(\) must return bool, not 'int'$"):
            authorize(token, key_a, replay=Loose())
        with pytest.raises(ConnectionError, match="cache down"):
            authorize(token, key_a, replay=Broken())
        with pytest.raises(AttributeError):
            authorize(token, key_a, replay=object())


class TestChain:
    def test_a_chain_authorizes_with_the_leaf_holders_proof_only(self):
        leaf, holder = chain(3)
        assert len(leaf.delegation_chain) == 3
        assert leaf.issuer == "did:aid:example.com:n2"
        assert leaf.bound_key == holder.public_key_bytes
        root_text = leaf.delegation_chain[0]
        assert DAT.from_compact(root_text).issuer == ROOT_ISS
        authorize(leaf, holder)
        assert refusal(authorize, leaf, key_b)[0] == "ProofInvalid"

    def test_delegate_refuses_to_widen_or_to_sign_with_another_key(self):
        root = bound_root(expires=600)
        cases = [
            (dict(scope=["mcp:tool:mail:read"]),
             'scope "mcp:tool:mail:read" is not covered by the parent token\'s scope'),
            (dict(scope=["not a scope"]), 'scope entry "not a scope" does not parse'),
            (dict(expires=3600), "the child would outlive the parent token, which expires at "
                                 f"{root.expires_at}"),
            (dict(key=key_b), "signing_key is not the key the parent token binds"),
            (dict(parent=DAT.issue(ROOT_ISS, A, [SCOPE], 600, principal)),
             "the parent token binds no holder key, so it cannot be delegated"),
        ]
        for change, message in cases:
            args = dict(parent=root, scope=[SCOPE], expires=60, key=key_a)
            args.update(change)
            code, got = refusal(DAT.delegate, args["parent"], B, args["scope"], args["expires"],
                                args["key"])
            assert code == "InvalidArgument"
            assert got == message or got.startswith(message.split(" does")[0])

    def test_max_delegation_depth_counts_the_links_below_each_link(self):
        root = bound_root(maxDelegationDepth=1)
        child = DAT.delegate(root, B, [SCOPE], 60, key_a, holder_key=key_b.public_key_bytes)
        assert refusal(DAT.delegate, child, C, [SCOPE], 30, key_b) == (
            "InvalidArgument", "link 0's maxDelegationDepth 1 allows no further link")
        # The depth the evaluators see is the chain's own, or the context's when larger.
        ctx = EvaluationContext()
        ctx.delegation_depth = 2
        code, _ = refusal(authorize, child, key_b, ctx=ctx)
        assert code == "DelegationDepthExceeded"
        authorize(child, key_b)

    def test_a_chain_forged_past_max_delegation_depth_is_refused(self):
        now = int(time.time())
        root = bound_root(maxDelegationDepth=0)
        child = forged_link({"iss": A, "sub": B, "iat": now, "exp": now + 60, "nbf": now,
                             "jti": "dat_child", "scope": [SCOPE],
                             "delegationChain": [root.to_compact()]}, key_a)
        with pytest.raises(ValueError) as caught:
            DAT.from_compact(child).authorize(TRUSTED, SCOPE)
        assert caught.value.code == "DelegationDepthExceeded"
        assert caught.value.details == {"max_depth": 0, "actual_depth": 1}

    def test_every_links_constraints_apply_to_the_request(self):
        root = bound_root(ipDenylist=["10.0.0.0/8"])
        child = DAT.delegate(root, B, [SCOPE], 60, key_a, holder_key=key_b.public_key_bytes)
        ctx = EvaluationContext()
        ctx.request_ip = "10.1.2.3"
        assert refusal(authorize, child, key_b, ctx=ctx)[0] == "IpBlocked"

    def test_revoking_any_link_revokes_everything_below_it(self):
        leaf, holder = chain(3)
        links = [DAT.from_compact(t) for t in leaf.delegation_chain] + [leaf]
        for link in links:
            assert refusal(authorize, leaf, holder, revoked={link.jti}) == ("Revoked", "Revoked")
        authorize(leaf, holder, revoked=frozenset({"dat_other"}))

        class Raising:
            def __contains__(self, item):
                raise KeyError(item)

        with pytest.raises(KeyError):
            authorize(leaf, holder, revoked=Raising())

    def test_the_root_issuer_must_be_trusted(self):
        leaf, holder = chain(1)
        with pytest.raises(ValueError) as caught:
            leaf.authorize({A: key_a.public_key_bytes}, SCOPE,
                           proof=holder.prove(leaf, "POST", URL), method="POST", url=URL)
        assert caught.value.code == "UnknownIssuer"
        assert caught.value.details == {"issuer": ROOT_ISS}

    def forge_child(self, parent_texts, parent, key, **claims):
        now = int(time.time())
        body = {"iss": claims_of(parent)["sub"], "sub": "did:aid:example.com:x", "iat": now,
                "exp": now + 60, "nbf": now, "jti": "dat_forged", "scope": [SCOPE],
                "delegationChain": parent_texts, "cnf": {"jwk": key_c.public_key_jwk}}
        body.update(claims)
        return DAT.from_compact(forged_link(body, key))

    def test_broken_links_are_named(self):
        leaf, _ = chain(2)
        texts = leaf.delegation_chain
        root, middle = texts
        cases = [
            # signed by the wrong key
            (self.forge_child(texts + [leaf.to_compact()], leaf, key_b),
             "link 3: its signature does not verify with the key link 2 binds"),
            # a link removed: the middle one
            (self.forge_child([root, leaf.to_compact()], leaf, key_c),
             'link 1: its delegationChain is not the links above it'),
            # reordered
            (self.forge_child([root, leaf.to_compact(), middle], leaf, key_c),
             "link 1: its delegationChain is not the links above it"),
            # duplicated
            (self.forge_child([root, root, middle], leaf, key_c),
             "link 1: its delegationChain is not the links above it"),
            # widened scope and lifetime, signed by the right key
            (self.forge_child(texts + [leaf.to_compact()], leaf, key_c,
                              scope=["mcp:tool:files:write"]),
             'link 3: scope "mcp:tool:files:write" is not covered by its parent\'s scope'),
            (self.forge_child(texts + [leaf.to_compact()], leaf, key_c,
                              exp=leaf.expires_at + 1),
             "link 3: it expires after its parent"),
            (self.forge_child(texts + [leaf.to_compact()], leaf, key_c, iss=B),
             "link 3: its iss is not the sub of link 2"),
        ]
        for token, message in cases:
            with pytest.raises(ValueError) as caught:
                token.authorize(TRUSTED, SCOPE)
            assert (caught.value.code, str(caught.value)) == (
                "ChainValidationFailed", f'ChainValidationFailed("{message}")'.replace(
                    '"mcp:tool:files:write"', '\\"mcp:tool:files:write\\"')), message

    def test_the_root_must_be_signed_by_the_trusted_key_and_carry_no_chain(self):
        leaf, _ = chain(2)
        with pytest.raises(ValueError) as caught:
            leaf.authorize({ROOT_ISS: key_b.public_key_bytes}, SCOPE)
        assert str(caught.value) == (
            'ChainValidationFailed("link 0: its signature does not verify with its issuer\'s key")')
        root, middle = leaf.delegation_chain
        # The middle link moved to the front: its issuer is no trusted root.
        forged = self.forge_child([middle, root], leaf, key_c)
        with pytest.raises(ValueError) as caught:
            forged.authorize({**TRUSTED, A: key_a.public_key_bytes}, SCOPE)
        assert str(caught.value) == (
            'ChainValidationFailed("link 0: the root carries a delegation chain of its own")')

    def test_chains_too_long_too_large_or_unreadable_are_refused_before_any_check(self):
        now = int(time.time())
        base = {"iss": A, "sub": B, "iat": now, "exp": now + 60, "nbf": now, "jti": "dat_x",
                "scope": [SCOPE]}
        cases = [
            (["a.b.c"] * 10_000, "the chain has 10000 links, more than 16"),
            (["x" * (10 << 20)], "the token is longer than 1048576 bytes"),
            (["not-a-token"], "link 0 cannot be read: compact JWS must have 3 parts"),
        ]
        for texts, detail in cases:
            token = DAT.from_compact(forged_link(dict(base, delegationChain=texts), key_a))
            with pytest.raises(RuntimeError) as caught:
                token.authorize(TRUSTED, SCOPE)
            assert caught.value.code == "DelegationChainInvalid"
            assert str(caught.value) == "QuorvexError: delegation chain invalid: " + detail
