import errno
import json
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

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

    def test_failed_save_raises_and_leaves_the_directory_as_it_was(self, tmp_path):
        (tmp_path / "aid.json").mkdir()
        with pytest.raises(RuntimeError, match=r"^Failed to write AID: Is a directory \(os error "
                                               r"21\)$"):
            ALICE.save(str(tmp_path))
        assert sorted(os.listdir(tmp_path)) == ["aid.json"]

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
        assert AgentIdentity.save_new.__text_signature__ == "($self, path=None)"
        assert AgentIdentity.save_new.__doc__.startswith(
            "Save this identity to a directory that holds no identity yet.\n")


ALICE = AgentIdentity.create("alice", "agents.test")


# A replaced __new__ hands out instances whose value was never built.
UNBUILT = """
from quorvex import AID, AIDBuilder, AgentIdentity
for cls in (AID, AIDBuilder, AgentIdentity):
    cls.__new__ = staticmethod(lambda cls: object.__new__(cls))
a, b, i = AID(), AIDBuilder(), AgentIdentity()
for call in (lambda: a.did, a.to_json, lambda: repr(a), lambda: b.id("x"), b.build,
             i.aid, i.save, i.save_new, i.save_path, lambda: i.public_key_bytes, lambda: repr(i)):
    try:
        call()
        print("returned")
    except TypeError as e:
        print(e)
"""


def test_unbuilt_instances_refuse_every_use():
    out = subprocess.run([sys.executable, "-c", UNBUILT], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    names = ["AID"] * 3 + ["AIDBuilder"] * 2 + ["AgentIdentity"] * 6
    assert out == [f"{name} object is not initialized" for name in names]


# Identity directories: saves are all or nothing, serialised, and recovered by the next use.

SET = ["aid.json", "identity.json", "secret.key"]
OLD = AgentIdentity.create("agent", "agents.test")


def renamed(identity, name):
    """identity's key under another DID: save replaces a set only for the same key."""
    with tempfile.TemporaryDirectory() as tmp:
        identity.save(tmp)
        document = Path(tmp, "aid.json")
        document.write_text(document.read_text().replace(identity.aid().did,
                                                         f"did:aid:agents.test:{name}"))
        return AgentIdentity.load(tmp)


NEW = [renamed(OLD, f"agent-{i}") for i in range(3)]
DIDS = {i.aid().did for i in [OLD, *NEW]}


def loaded_whole(path):
    """The DID of the identity path loads, which must be one of those saved there."""
    loaded = AgentIdentity.load(str(path))
    assert loaded.public_key_bytes == OLD.public_key_bytes
    assert loaded.aid().did in DIDS
    return loaded.aid().did


def documents_agree(path):
    """A whole set: identity.json names the DID of aid.json, one of those saved."""
    did = json.loads(Path(path, "aid.json").read_text())["id"]
    return did in DIDS and json.loads(Path(path, "identity.json").read_text())["did"] == did


@pytest.fixture
def fast_dir(tmp_path):
    # Kills and races test the order of the store's steps, not the disk: on tmpfs a round
    # takes a fraction of a millisecond instead of several syncs to disk.
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else str(tmp_path)
    path = Path(tempfile.mkdtemp(prefix="quorvex-store-", dir=base))
    yield path
    shutil.rmtree(path, ignore_errors=True)


def in_child(body):
    """Runs body() in a forked child; returns the text it wrote and its wait status."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover (the child never returns into pytest)
        try:
            os.close(read_end)
            os.write(write_end, body().encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as out:
        text = out.read().decode()
    return text, os.waitpid(pid, 0)[1]


class TestIdentityDirectories:
    @pytest.mark.parametrize("call", [
        lambda p: ALICE.save(p), lambda p: ALICE.save_new(path=p), lambda p: AgentIdentity.load(p),
        lambda p: ALICE.save_path(p),
    ], ids=["save", "save_new", "load", "save_path"])
    def test_path_with_nul_is_refused(self, tmp_path, call):
        with pytest.raises(ValueError) as raised:
            call(str(tmp_path / "a\0b"))
        assert str(raised.value) == "embedded null byte"
        assert os.listdir(tmp_path) == []

    def test_save_new_refuses_a_directory_with_a_key(self, tmp_path):
        d = tmp_path / "id"
        assert ALICE.save_new(str(d)) is None
        with pytest.raises(FileExistsError) as raised:
            OLD.save_new(str(d))
        assert raised.value.errno == errno.EEXIST
        assert raised.value.strerror == f"Identity already exists: {d}"
        assert str(raised.value) == f"[Errno 17] Identity already exists: {d}"
        assert AgentIdentity.load(str(d)).public_key_bytes == ALICE.public_key_bytes

    def test_save_new_defaults_to_the_home_directory(self, home):
        OLD.save_new()
        with pytest.raises(FileExistsError, match="^.Errno 17. Identity already exists: "
                                                  + str(home) + "/.quorvex/identities/agent$"):
            OLD.save_new(None)

    def test_save_path_is_where_save_writes(self, home, monkeypatch):
        default = str(home / ".quorvex" / "identities" / "alice")
        assert ALICE.save_path() == ALICE.save_path(None) == ALICE.save_path(path=None) == default
        for given, expected in [("~/x", f"{home}/x"), ("~", str(home)),
                                ("~alice/x", f"{home}alice/x"), ("a/~", "a/~"), ("", "")]:
            assert ALICE.save_path(given) == expected, given
        ALICE.save()
        ALICE.save_new(path="~/x")
        assert AgentIdentity.load(default).public_key_bytes == ALICE.public_key_bytes
        assert AgentIdentity.load(str(home / "x")).public_key_bytes == ALICE.public_key_bytes
        monkeypatch.delenv("HOME")
        monkeypatch.setenv("USERPROFILE", "/profile")
        assert ALICE.save_path("~/x") == "/profile/x"
        monkeypatch.delenv("USERPROFILE")
        assert ALICE.save_path() == "./.quorvex/identities/alice"
        assert AgentIdentity.save_path.__text_signature__ == "($self, path=None)"
        assert AgentIdentity.save_path.__doc__ == (
            "The directory save(path) and save_new(path) write to.\n\nA leading '~' in path "
            "stands for the home directory.\n\nArgs:\n    path: Directory path. Defaults to "
            "~/.quorvex/identities/{name}/")
        for call, error, message in [
            (lambda: ALICE.save_path(b"p"), TypeError,
             "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: ALICE.save_path("a", "b"), TypeError,
             "AgentIdentity.save_path() takes from 0 to 1 positional arguments but 2 were given"),
        ]:
            with pytest.raises(error) as raised:
                call()
            assert str(raised.value) == message

    def test_kill_at_any_moment_leaves_one_whole_identity(self, fast_dir):
        d = fast_dir / "id"
        OLD.save(str(d))
        rng = random.Random(20260105)

        def save_forever(ready):
            os.write(ready, b"r")
            for i in range(1 << 62):
                NEW[i % len(NEW)].save(str(d))

        for _ in range(200):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:  # pragma: no cover
                try:
                    save_forever(write_end)
                finally:
                    os._exit(1)
            os.read(read_end, 1)
            os.close(read_end)
            os.close(write_end)
            time.sleep(rng.uniform(0, 0.002))  # where the kill lands; nothing depends on it
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            loaded_whole(d)
            assert sorted(os.listdir(d)) == SET
            assert documents_agree(d)

    @pytest.mark.parametrize("limit,message", [
        (0, "Failed to write key: File too large (os error 27)"),
        (100, "Failed to write AID: File too large (os error 27)"),
    ])
    def test_write_failure_leaves_the_old_identity(self, tmp_path, limit, message):
        d = tmp_path / "id"
        OLD.save(str(d))
        before = {name: (d / name).read_bytes() for name in os.listdir(d)}

        def save_under_limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            try:
                NEW[0].save(str(d))
            except RuntimeError as e:
                return str(e)
            return "saved"

        assert in_child(save_under_limit) == (message, 0)
        assert {name: (d / name).read_bytes() for name in os.listdir(d)} == before
        assert loaded_whole(d) == OLD.aid().did

    @pytest.mark.parametrize("how", ["threads", "processes"])
    def test_racing_save_new_claims_once(self, fast_dir, how):
        d = str(fast_dir / "id")
        racers = [AgentIdentity.create("racer", "agents.test") for _ in range(6)]
        start = threading.Barrier(len(racers))

        def claim(racer):
            if how == "threads":
                start.wait()
            try:
                racer.save_new(d)
            except FileExistsError as e:
                return f"{e.errno} {e.strerror}"
            return "saved"

        if how == "threads":
            outcomes = [""] * len(racers)

            def run(i):
                outcomes[i] = claim(racers[i])

            threads = [threading.Thread(target=run, args=(i,)) for i in range(len(racers))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        else:
            # Every child waits for the gate's end of file, so all of them claim at once.
            gate_read, gate_write = os.pipe()
            children = []
            for racer in racers:
                read_end, write_end = os.pipe()
                pid = os.fork()
                if pid == 0:  # pragma: no cover
                    try:
                        os.close(gate_write)
                        os.read(gate_read, 1)
                        os.write(write_end, claim(racer).encode())
                    finally:
                        os._exit(0)
                os.close(write_end)
                children.append((pid, read_end))
            os.close(gate_read)
            os.close(gate_write)
            outcomes = []
            for pid, read_end in children:
                with os.fdopen(read_end, "rb") as out:
                    outcomes.append(out.read().decode())
                assert os.waitpid(pid, 0)[1] == 0
        assert sorted(outcomes) == sorted(["saved"] + [f"17 Identity already exists: {d}"] * 5)
        winner = racers[outcomes.index("saved")]
        assert AgentIdentity.load(d).public_key_bytes == winner.public_key_bytes

    def test_loads_during_saves_from_threads_see_whole_identities(self, fast_dir):
        d = fast_dir / "id"
        OLD.save(str(d))
        saving = threading.Event()
        saving.set()
        seen, faults = set(), []

        def save(identity):
            for _ in range(30):
                identity.save(str(d))

        def load():
            try:
                while True:
                    running = saving.is_set()
                    seen.add(loaded_whole(d))
                    if not running:
                        return
            except BaseException as e:  # reported by the main thread
                faults.append(e)

        savers = [threading.Thread(target=save, args=(i,)) for i in NEW]
        loaders = [threading.Thread(target=load) for _ in range(3)]
        for t in savers + loaders:
            t.start()
        for t in savers:
            t.join()
        saving.clear()
        for t in loaders:
            t.join()
        assert faults == []
        assert seen <= DIDS
        assert sorted(os.listdir(d)) == SET
        assert documents_agree(d)
