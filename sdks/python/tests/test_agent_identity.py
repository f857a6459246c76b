import json
import os
import stat
import subprocess
import sys
import time

import pytest

from quorvex import AID, DAT, AgentIdentity, KeyPair


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


class TestAgentIdentity:
    def test_create_save_load_delegate(self, tmp_path):
        alice = AgentIdentity.create("alice", "agents.test")
        assert repr(alice) == "AgentIdentity(did='did:aid:agents.test:alice')"
        assert alice.aid().trust_level == "L0"
        d = tmp_path / "id"
        assert alice.save(str(d)) is None
        assert sorted(os.listdir(d)) == ["aid.json", "identity.json", "secret.key"]
        assert stat.S_IMODE(os.stat(d / "secret.key").st_mode) == 0o600
        assert (d / "aid.json").read_text() == alice.aid().to_json()
        assert json.loads((d / "identity.json").read_text())["did"] == "did:aid:agents.test:alice"

        loaded = AgentIdentity.load(str(d))
        assert loaded is not alice and repr(loaded) == repr(alice)
        assert loaded.public_key_bytes == alice.public_key_bytes
        assert isinstance(loaded.aid(), AID) and loaded.aid() is not loaded.aid()
        key = loaded.keypair()
        assert isinstance(key, KeyPair) and key.public_key_bytes == alice.public_key_bytes
        assert (d / "secret.key").read_text() == bytes.fromhex(
            (d / "secret.key").read_text()).hex()  # lower case, no line break

        before = int(time.time())
        token = loaded.issue_dat("did:aid:agents.test:bot", ["mcp:tool:*:read"])
        assert isinstance(token, DAT)
        assert token.issuer == "did:aid:agents.test:alice"
        assert token.scope == ["mcp:tool:*:read"]
        assert before + 3600 <= token.expires_at <= int(time.time()) + 3600
        token.verify(alice.public_key_bytes, "mcp:tool:x:read")

    def test_defaults(self, home):
        bob = AgentIdentity.create("bob", controller=None)
        assert bob.aid().did == "did:aid:agents.quorvex.dev:bob"
        assert bob.aid().controller == "did:aid:agents.quorvex.dev:controller"
        assert AgentIdentity.create.__text_signature__ == (
            '(name, domain="agents.quorvex.dev", controller=None)')
        bob.save()
        assert (home / ".quorvex" / "identities" / "bob" / "aid.json").exists()
        bob.save(path="~/elsewhere")
        assert AgentIdentity.load("~/elsewhere").public_key_bytes == bob.public_key_bytes
        assert bob.issue_dat("did:x", [], -5).expires_at < time.time()

    @pytest.mark.parametrize("call,error,message", [
        (lambda: AgentIdentity.create("Alice"), ValueError,
         "InvalidAidError: invalid AID identifier: local name must be lowercase alphanumeric "
         "with hyphens: Alice"),
        (lambda: AgentIdentity.create("a", None), TypeError,
         "argument 'domain': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: AgentIdentity.create(name=1), TypeError,
         "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: AgentIdentity.load(None), TypeError,
         "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: AgentIdentity(), TypeError, "No constructor defined for AgentIdentity"),
        (lambda: ALICE.issue_dat("did:x", ["a"], None), TypeError,
         "argument 'expires_in_seconds': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: ALICE.issue_dat("did:x", "a"), TypeError, None),  # texts of the converters
        (lambda: ALICE.issue_dat("did:x", ["a"], 2**63), OverflowError, None),
        (lambda: ALICE.issue_dat("did:x", ["a"], 9223372036854776), ValueError,
         "expires_in_seconds must lie between -9223372036854775 and 9223372036854775"),
        (lambda: ALICE.save(b"p"), TypeError,
         "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: ALICE.keypair(1), TypeError,
         "AgentIdentity.keypair() takes 0 positional arguments but 1 was given"),
    ])
    def test_argument_and_core_errors(self, call, error, message):
        with pytest.raises(error) as raised:
            call()
        assert message is None or str(raised.value) == message

    @pytest.mark.parametrize("key,aid,error,message", [
        (None, None, RuntimeError, "Failed to read key: No such file or directory (os error 2)"),
        ("0" * 63, None, ValueError, "Invalid key hex: Odd number of digits"),
        ("0" * 64, "{}", ValueError, "Invalid AID JSON: missing field `@context` at line 1 column 2"),
        ("0" * 64, "CONTROLLER", ValueError,
         "InvalidAidError: AID document validation failed: controller must be a valid DID"),
    ])
    def test_load_errors(self, tmp_path, key, aid, error, message):
        if key is not None:
            (tmp_path / "secret.key").write_text(key)
        if aid == "CONTROLLER":
            aid = ALICE.aid().to_json().replace('"did:aid:agents.test:controller"', '"alice"', 1)
        if aid is not None:
            (tmp_path / "aid.json").write_text(aid)
        with pytest.raises(error) as raised:
            AgentIdentity.load(str(tmp_path))
        assert str(raised.value) == message

    def test_failed_save_raises_and_keeps_completed_files(self, tmp_path):
        (tmp_path / "aid.json").mkdir()
        with pytest.raises(RuntimeError, match=r"^Failed to write AID: Is a directory \(os error "
                                               r"21\)$"):
            ALICE.save(str(tmp_path))
        assert sorted(os.listdir(tmp_path)) == ["aid.json", "secret.key"]

    def test_docstrings(self):
        assert AgentIdentity.save.__doc__ == (
            "Save this identity to disk.\n\nCreates a directory containing the private key, AID "
            "document, and metadata.\nThe private key file has restrictive permissions (0600 on "
            "Unix).\n\nArgs:\n    path: Directory path. Defaults to ~/.quorvex/identities/{name}/")
        assert AgentIdentity.load.__doc__ == (
            "Load an identity from disk.\n\nArgs:\n    path: Directory containing secret.key and "
            "aid.json")
        assert AgentIdentity.issue_dat.__text_signature__ == (
            "($self, subject_did, scope, expires_in_seconds=3600)")
        assert AgentIdentity.aid.__doc__ is None


ALICE = AgentIdentity.create("alice", "agents.test")


# A replaced __new__ hands out instances whose value was never built.
UNBUILT = """
from quorvex import AID, AIDBuilder, AgentIdentity
for cls in (AID, AIDBuilder, AgentIdentity):
    cls.__new__ = staticmethod(lambda cls: object.__new__(cls))
a, b, i = AID(), AIDBuilder(), AgentIdentity()
for call in (lambda: a.did, a.to_json, lambda: repr(a), lambda: b.id("x"), b.build,
             i.aid, i.save, lambda: i.public_key_bytes, lambda: repr(i)):
    try:
        call()
        print("returned")
    except TypeError as e:
        print(e)
"""


def test_unbuilt_instances_refuse_every_use():
    out = subprocess.run([sys.executable, "-c", UNBUILT], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    names = ["AID"] * 3 + ["AIDBuilder"] * 2 + ["AgentIdentity"] * 4
    assert out == [f"{name} object is not initialized" for name in names]
