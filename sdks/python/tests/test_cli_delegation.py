"""quorvex token issue --holder, delegate, prove, and verify and inspect of bound and chained
tokens, run as a subprocess."""

import base64
import json
import time

import pytest
from cli_helpers import alice, check_json_failure, home, run  # noqa: F401 (fixtures)

from quorvex import DAT, AgentIdentity

URL = "https://api.example.com/tools/files"


def saved(home, name):
    identity = AgentIdentity.create(name, domain="agents.test")
    identity.save_new(str(home / name))
    return {"dir": home / name, "did": identity.aid().did, "key": identity.public_key_bytes}


@pytest.fixture(scope="module")
def agent(home):
    return saved(home, "agent")


@pytest.fixture(scope="module")
def helper(home):
    return saved(home, "helper")


def ok(home, *args, stdin=None):
    code, out, err = run(home, *args, stdin=stdin)
    assert (code, err) == (0, ""), err
    return out.strip()


@pytest.fixture(scope="module")
def bound(home, alice, agent):
    """alice's token for agent, bound to agent's key, that may be delegated once more."""
    return ok(home, "token", "issue", "--identity", alice["dir"], "--subject", agent["did"],
              "--scope", "mcp:tool:files:*", "--holder", agent["dir"], "--max-depth", "1")


@pytest.fixture(scope="module")
def child(home, agent, helper, bound):
    return ok(home, "token", "delegate", "--parent", "-", "--identity", agent["dir"],
              "--subject", helper["did"], "--scope", "mcp:tool:files:read", "--holder",
              helper["key"].hex(), stdin=bound)


def prove(home, who, token, method="GET", url=URL):
    return ok(home, "token", "prove", token, "--identity", who["dir"], "--method", method,
              "--url", url)


def verify(home, alice, token, *args, stdin=None):
    return run(home, "token", "verify", token, "--key", alice["dir"], "--scope",
               "mcp:tool:files:read", *args, stdin=stdin)


class TestIssueAndDelegate:
    def test_holder_and_chain_are_written(self, agent, helper, bound, child):
        parent, token = DAT.from_compact(bound), DAT.from_compact(child)
        assert parent.bound_key == agent["key"]
        assert (token.issuer, token.subject, token.scope, token.bound_key) == (
            agent["did"], helper["did"], ["mcp:tool:files:read"], helper["key"])
        assert token.delegation_chain == [bound]
        # The child lives as long as the parent, within the clock's second.
        assert 0 <= parent.expires_at - token.expires_at <= 1
        assert token.verify_signature(agent["key"])

    @pytest.mark.parametrize("args, code, message", [
        (["--scope", "mcp:tool:files:write", "--scope", "mcp:tool:mail:send"], 1,
         'scope "mcp:tool:mail:send" is not covered by the parent token\'s scope'),
        (["--scope", "mcp:tool:files:read", "--expires", "7200"], 1,
         "the child would outlive the parent token, which expires at {exp}"),
        (["--scope", "mcp:tool:files:read", "--identity", "{helper}"], 1,
         "signing_key is not the key the parent token binds"),
        (["--scope", "mcp:tool:files:read", "--holder", "nokey"], 2,
         "argument --holder: not a multibase public key, 64 hex digits or an identity "
         "directory: nokey"),
    ])
    def test_delegate_never_widens(self, home, tmp_path, agent, helper, bound, args, code,
                                   message):
        args = [a.replace("{helper}", str(helper["dir"])) for a in args]
        if "--identity" not in args:
            args += ["--identity", str(agent["dir"])]
        check_json_failure(home, tmp_path, ["token", "delegate", "--parent", bound, "--subject",
                                            helper["did"], *args], code,
                           message.replace("{exp}", str(DAT.from_compact(bound).expires_at)))

    def test_a_child_past_the_parents_depth_is_refused(self, home, tmp_path, helper, child):
        check_json_failure(home, tmp_path, [
            "token", "delegate", "--parent", child, "--identity", str(helper["dir"]),
            "--subject", "did:aid:agents.test:third", "--scope", "mcp:tool:files:read"], 1,
            "link 0's maxDelegationDepth 1 allows no further link")


class TestVerifyWithProof:
    def test_a_chain_is_accepted_with_its_holders_proof(self, home, alice, agent, helper, child):
        proof = prove(home, helper, child)
        code, out, err = verify(home, alice, child, "--proof", proof, "--method", "GET", "--url",
                                URL, "--json")
        assert (code, err) == (0, "")
        assert json.loads(out) == {
            "accepted": True, "jti": DAT.from_compact(child).jti, "issuer": agent["did"],
            "subject": helper["did"], "scope": "mcp:tool:files:read",
            "root_issuer": "did:aid:agents.test:alice"}
        # The proof may come on standard input instead; it is then a replay in this process
        # only, and each run is a process of its own.
        proof = prove(home, helper, child)
        assert verify(home, alice, child, "--proof", "-", "--method", "GET", "--url", URL,
                      stdin=proof) == (
            0, "accepted: mcp:tool:files:read for did:aid:agents.test:helper, issued by "
            "did:aid:agents.test:agent, delegated from did:aid:agents.test:alice\n", "")

    def test_refusals(self, home, tmp_path, alice, agent, helper, bound, child):
        refusals = [
            (child, [], 1, "the token is bound to its holder's key: the request must carry a "
             "proof of possession"),
            (child, ["--proof", prove(home, helper, child), "--method", "POST", "--url", URL], 1,
             'proof htm "GET" is not the request\'s method "POST"'),
            (child, ["--proof", prove(home, agent, child), "--method", "GET", "--url", URL], 1,
             "proof is signed with a key other than the one the token binds"),
            (bound, ["--proof", "x.y.z"], 2,
             "argument --proof: --method and --url are required with a proof"),
            ("-", ["--proof", "-", "--method", "GET", "--url", URL], 2,
             "only one of TOKEN, --proof and --revoked can be read from standard input"),
        ]
        for token, args, code, message in refusals:
            got, out, err = verify(home, alice, token, *args, "--json")
            assert (got, json.loads(out)) == (code, {
                **({"accepted": False} if code == 1 else {}), "ok": False, "code": code,
                "error": message}), args
            assert err.endswith(message + "\n")

    def test_revoking_the_root_revokes_the_chain(self, home, tmp_path, alice, helper, bound,
                                                 child):
        revoked = tmp_path / "revoked"
        revoked.write_text(f"# revoked today\n\n  {DAT.from_compact(bound).jti}  \n")
        code, out, err = verify(home, alice, child, "--proof", prove(home, helper, child),
                                "--method", "GET", "--url", URL, "--revoked", str(revoked))
        assert (code, out, err) == (1, "", "quorvex: Revoked\n")
        revoked.write_text("dat_other\n")
        code, _, err = verify(home, alice, child, "--proof", prove(home, helper, child),
                              "--method", "GET", "--url", URL, "--revoked", str(revoked))
        assert (code, err) == (0, "")


class TestInspect:
    def test_the_chain_is_shown_link_by_link_unverified(self, home, agent, bound, child):
        code, out, err = run(home, "token", "inspect", child, "--json")
        shown = json.loads(out)
        parent = DAT.from_compact(bound)
        cnf = {"jwk": {"kty": "OKP", "crv": "Ed25519",
                       "x": base64.urlsafe_b64encode(agent["key"]).rstrip(b"=").decode()}}
        assert (code, err, shown["verified"], shown["claims"]["delegationChain"]) == (
            0, "", False, [bound])
        assert shown["chain"] == [{
            "link": 0, "header": {"alg": "EdDSA", "kid": parent.key_id},
            "claims": {"iss": parent.issuer, "sub": parent.subject, "iat": parent.issued_at,
                       "exp": parent.expires_at, "nbf": parent.not_before, "jti": parent.jti,
                       "scope": parent.scope, "constraints": {"maxDelegationDepth": 1},
                       "cnf": cnf}}]
        code, out, _ = run(home, "token", "inspect", child)
        assert out.count("NOT VERIFIED") == 2
        assert "delegation chain, root first (1 link above this token; NOT VERIFIED):\n" \
               "link 0:\n{\n  \"header\"" in out


def test_issue_holder_json_expiry(home, alice, agent):
    out = ok(home, "token", "issue", "--identity", alice["dir"], "--subject", agent["did"],
             "--scope", "mcp:tool:files:read", "--holder", agent["key"].hex(), "--expires", "60",
             "--json")
    token = DAT.from_compact(json.loads(out)["token"])
    assert token.bound_key == agent["key"]
    assert 58 <= token.expires_at - int(time.time()) <= 60
