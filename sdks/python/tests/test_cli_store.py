import json
import sqlite3

import pytest
from cli_helpers import alice, home, run  # noqa: F401 (fixtures)

from quorvex import KeyPair, ReceiptLog

ORIGIN = "example.com/receipts"


@pytest.fixture
def store(tmp_path):
    path = tmp_path / "receipts.db"
    log = ReceiptLog.open(path)
    agent = KeyPair.from_secret_bytes(bytes(range(32)))
    for i in range(6):
        log.append("did:aid:agents.test:alice", "dat_1", "mcp:tool-call", b"%d" % i, agent)
    (tmp_path / "r4.json").write_text(log.receipt(4))
    return path


def checkpoint(home, alice, store, *extra):  # noqa: F811
    code, out, err = run(home, "receipts", "checkpoint", store, "--identity", alice["dir"],
                         "--origin", ORIGIN, *extra)
    assert (code, err) == (0, ""), err
    path = store.parent / f"checkpoint{len(extra)}.txt"
    path.write_text(out)
    return path, out


class TestStoreCommands:
    def test_checkpoint_prove_and_check_offline(self, home, alice, store):  # noqa: F811
        path, note = checkpoint(home, alice, store)
        assert ReceiptLog.verify_checkpoint(note, alice["identity"].public_key_bytes, ORIGIN)[1] == 6
        code, out, err = run(home, "receipts", "checkpoint", store, "--identity", alice["dir"],
                             "--origin", ORIGIN, "--size", "3", "--json")
        answer = json.loads(out)
        assert (code, answer["size"], err) == (0, 3, "")
        assert answer["checkpoint"].startswith(f"{ORIGIN}\n3\n{answer['root']}\n\n\u2014 ")

        code, bundle, err = run(home, "receipts", "prove", store, "4", "--checkpoint", path)
        assert (code, err) == (0, "") and bundle.startswith("c2sp.org/tlog-proof@v1\nindex 4\n")
        (store.parent / "b.txt").write_text(bundle)
        for key in (alice["multibase"], alice["hex"], str(alice["dir"])):
            code, out, err = run(home, "receipts", "check-proof", store.parent / "b.txt",
                                 "--receipt", store.parent / "r4.json", "--key", key)
            assert (code, out, err) == (0, "valid: receipt 4 is in the log's tree of size 6\n", "")
        code, out, _ = run(home, "receipts", "check-proof", "-", "--receipt",
                           store.parent / "r4.json", "--key", alice["hex"], "--json", stdin=bundle)
        assert (code, json.loads(out)) == (0, {"valid": True, "index": 4, "tree_size": 6})
        code, out, err = run(home, "receipts", "check-proof", store.parent / "b.txt", "--receipt",
                             path, "--key", alice["hex"], "--json")
        assert code == 1 and json.loads(out)["valid"] is False
        assert "inclusion proof does not verify: the receipt is not entry 4" in err

    def test_verify_audits_a_store_and_its_extension_of_a_checkpoint(self, home, alice, store):  # noqa: F811
        path, _ = checkpoint(home, alice, store)
        code, out, err = run(home, "receipts", "verify", store, "--json")
        answer = json.loads(out)
        assert (code, answer["valid"], answer["receipts"], err) == (0, True, 6, "")
        code, out, err = run(home, "receipts", "verify", store, "--checkpoint", path, "--key",
                             alice["hex"])
        assert (code, err) == (0, "")
        assert out.endswith(f"extends the checkpoint of {ORIGIN} at size 6\n")

        # History cut short and rewritten: the old checkpoint exposes it.
        db = sqlite3.connect(store)
        db.execute("DELETE FROM receipt WHERE seq = 5")
        db.commit()
        db.close()
        log = ReceiptLog.open(store)
        log.append("did:aid:agents.test:alice", "dat_1", "other", b"", KeyPair.generate())
        assert log.verify_integrity() is None
        code, out, err = run(home, "receipts", "verify", store, "--checkpoint", path, "--key",
                             alice["hex"], "--json")
        assert code == 1 and json.loads(out)["valid"] is False
        assert err == ("quorvex: the store does not extend the checkpoint: its tree of size 6 "
                       "has another root\n")

    def test_refusals(self, home, alice, store, tmp_path):  # noqa: F811
        path, _ = checkpoint(home, alice, store)
        code, _, err = run(home, "receipts", "verify", tmp_path / "missing.db", "--key",
                           alice["hex"])
        assert code == 2 and "cannot read" in err
        code, _, err = run(home, "receipts", "prove", tmp_path / "missing.db", "0",
                           "--checkpoint", path)
        assert (code, err) == (2, f"quorvex: error: cannot read {tmp_path / 'missing.db'}: no "
                               "such receipt store\n")
        assert not (tmp_path / "missing.db").exists()
        code, _, err = run(home, "receipts", "prove", store, "6", "--checkpoint", path)
        assert (code, err) == (1, "quorvex: receipt index 6 is not below the tree size 6\n")
        code, _, err = run(home, "receipts", "verify", store, "--checkpoint", path)
        assert code == 2 and err.endswith("needs --key, the checkpoint signer's public key\n")
        code, _, err = run(home, "receipts", "verify", store.parent / "r4.json", "--checkpoint",
                           path, "--key", alice["hex"])
        assert code == 2 and err.endswith("r4.json is no receipt store\n")
        code, _, err = run(home, "receipts", "checkpoint", store, "--identity", alice["dir"],
                           "--origin", "has space")
        assert code == 1 and "origin must be a key name" in err
        code, _, err = run(home, "receipts", "verify", store.parent / "r4.json")
        assert code == 2 and err.endswith("error: the following arguments are required: --key\n")
