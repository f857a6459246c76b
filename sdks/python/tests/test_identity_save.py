import os

import pytest

from quorvex import AgentIdentity

A = AgentIdentity.create("agent", "agents.test")
B = AgentIdentity.create("agent", "agents.test")  # the same DID, another key
SET = ["aid.json", "identity.json", "secret.key"]


def files(path):
    return {name: (path / name).read_bytes() for name in sorted(os.listdir(path))}


def test_save_never_replaces_another_identitys_key(tmp_path, monkeypatch):
    d = tmp_path / "id"
    A.save(str(d))
    before = files(d)
    with pytest.raises(RuntimeError) as raised:
        B.save(str(d))
    assert str(raised.value) == f"Failed to write key: another identity's key is in {d}"
    assert files(d) == before
    assert AgentIdentity.load(str(d)).public_key_bytes == A.public_key_bytes

    # The directory is named as save_path gives it.
    monkeypatch.setenv("HOME", str(tmp_path))
    with pytest.raises(RuntimeError) as raised:
        B.save("~/id")
    assert str(raised.value) == f"Failed to write key: another identity's key is in {tmp_path}/id"
    assert files(d) == before


def test_saving_the_same_identity_again_rewrites_every_file(tmp_path):
    A.save(str(tmp_path))
    first = {name: os.stat(tmp_path / name).st_ino for name in SET}
    AgentIdentity.load(str(tmp_path)).save(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == SET
    assert all(os.stat(tmp_path / name).st_ino != first[name] for name in SET)
    assert AgentIdentity.load(str(tmp_path)).public_key_bytes == A.public_key_bytes


@pytest.mark.parametrize("text", [b"", b"not a key", b"0" * 63, b"\xff" * 64],
                         ids=["empty", "words", "odd digits", "not UTF-8"])
def test_a_secret_key_that_is_no_key_is_replaced(tmp_path, text):
    A.save(str(tmp_path))
    (tmp_path / "secret.key").write_bytes(text)
    B.save(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == SET
    assert AgentIdentity.load(str(tmp_path)).public_key_bytes == B.public_key_bytes
