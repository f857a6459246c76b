import hashlib
import json
import os
import random
import signal
import sqlite3
import threading
import time

import pytest

from quorvex import KeyPair, ReceiptLog

AGENT = "did:aid:agents.test:alice"
OTHER = "did:aid:agents.test:bob"
JTI = "dat_01JGZ8Y4R3X0P9Q7V5T2M6K1NB"


@pytest.fixture
def key():
    return KeyPair.from_secret_bytes(bytes(range(32)))


@pytest.fixture
def store(tmp_path):
    return tmp_path / "receipts.db"


def fill(log, key, n, agent=AGENT, jti=JTI):
    for i in range(n):
        log.append(agent, jti, "mcp:tool-call", str(i).encode(), key, tool=f"t{i}")


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


class TestDurableLog:
    def test_reopening_continues_the_chain(self, store, key):
        log = ReceiptLog.open(store)
        assert (len(log), log.last_hash, log.next_sequence, log.path) == (0, "genesis", 0,
                                                                           str(store))
        assert repr(log) == "ReceiptLog(entries=0, last_hash='genesis')"
        fill(log, key, 3)
        last = log.last_hash
        del log
        log = ReceiptLog.open(str(store))
        assert (len(log), log.last_hash, log.next_sequence) == (3, last, 3)
        fill(log, key, 2)
        assert log.verify_integrity() is None
        printed = log.to_json()
        assert ReceiptLog.audit(printed, key.public_key_bytes) == 5
        chain = [r["chain"] for r in json.loads(printed)]
        assert [c["sequenceNumber"] for c in chain] == [0, 1, 2, 3, 4]
        assert chain[3]["previousHash"] == last
        assert repr(log) == f"ReceiptLog(entries=5, last_hash='{log.last_hash}')"
        assert ReceiptLog().path is None

    def test_receipt_reads_the_compact_signed_text(self, store, key):
        stored, memory = ReceiptLog.open(store), ReceiptLog()
        for log in (stored, memory):
            fill(log, key, 2)
            for i, printed in enumerate(json.loads(log.to_json())):
                assert log.receipt(i) == compact(printed)
            with pytest.raises(IndexError, match="^receipt index out of range$"):
                log.receipt(2)

    @pytest.mark.parametrize("kind", ["stored", "memory"])
    def test_query(self, store, key, kind):
        log = ReceiptLog.open(store) if kind == "stored" else ReceiptLog()
        fill(log, key, 3)
        fill(log, key, 2, agent=OTHER, jti="dat_other")
        everything = log.query()
        assert [i for i, _ in everything] == [0, 1, 2, 3, 4]
        assert all(text == log.receipt(i) for i, text in everything)
        assert [i for i, _ in log.query(agent_did=OTHER)] == [3, 4]
        assert [i for i, _ in log.query(dat_jti=JTI, limit=2)] == [0, 1]
        assert log.query(agent_did=OTHER, dat_jti=JTI) == []
        stamps = [json.loads(t)["timestamp"] for _, t in everything]
        first_ms = int(time.mktime(time.strptime(stamps[0][:19], "%Y-%m-%dT%H:%M:%S")))
        assert log.query(until_ms=0) == []
        assert len(log.query(since_ms=(first_ms - 86400 * 365) * 1000)) == 5
        with pytest.raises(TypeError, match=r"takes 0 positional arguments"):
            log.query(AGENT)

    def test_a_group_commits_once_at_its_end(self, store, key):
        log = ReceiptLog.open(store)
        with log as same:
            assert same is log
            fill(log, key, 3)
            assert len(log) == 3
            # Another connection sees nothing until the group commits.
            assert len(ReceiptLog.open(store)) == 0
        assert len(ReceiptLog.open(store)) == 3
        with pytest.raises(ZeroDivisionError):
            with log:
                fill(log, key, 1)
                1 / 0
        assert len(ReceiptLog.open(store)) == 4
        assert log.verify_integrity() is None
        with ReceiptLog() as memory:
            fill(memory, key, 1)
        # A group still open when its log goes away is committed, not lost.
        log.__enter__()
        fill(log, key, 2)
        del log, same
        assert len(ReceiptLog.open(store)) == 6

    def test_threads_share_one_chain(self, store, key):
        log = ReceiptLog.open(store)
        threads = [threading.Thread(target=fill, args=(log, key, 25)) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(log) == 100 and log.verify_integrity() is None

    def test_processes_share_one_chain(self, store, key):
        ReceiptLog.open(store)
        children = []
        for n in range(3):
            pid = os.fork()
            if pid == 0:
                failed = 1
                try:
                    child = ReceiptLog.open(store)
                    for i in range(40):
                        if i % 10 == 0:
                            with child:
                                fill(child, key, 3, agent=f"did:aid:p:{n}")
                        else:
                            fill(child, key, 1, agent=f"did:aid:p:{n}")
                    failed = 0
                finally:
                    os._exit(failed)
            children.append(pid)
        for pid in children:
            assert os.waitpid(pid, 0)[1] == 0
        log = ReceiptLog.open(store)
        assert len(log) == 3 * 48 and log.verify_integrity() is None
        assert [len(log.query(agent_did=f"did:aid:p:{n}")) for n in range(3)] == [48] * 3


class TestStoreFiles:
    def test_refuses_what_is_no_store_of_ours(self, tmp_path, store):
        text = tmp_path / "notes.txt"
        text.write_text("x" * 4096)
        with pytest.raises(RuntimeError, match=f"^QuorvexError: receipt store {text} cannot be "
                           "read: it is not a receipt store$") as caught:
            ReceiptLog.open(text)
        assert caught.value.code == "Other"
        other = tmp_path / "other.db"
        sqlite3.connect(other).execute("CREATE TABLE t (x)").connection.commit()
        with pytest.raises(RuntimeError, match="it is not a receipt store$"):
            ReceiptLog.open(other)
        ReceiptLog.open(store)
        db = sqlite3.connect(store)
        db.execute("PRAGMA user_version = 2")
        db.commit()
        db.close()
        with pytest.raises(RuntimeError, match=f"^QuorvexError: receipt store {store} has "
                           r"layout 2, newer than this version reads \(1\)$"):
            ReceiptLog.open(store)
        with pytest.raises(RuntimeError, match="cannot be opened: unable to open database file$"):
            ReceiptLog.open(tmp_path / "missing" / "x.db")
        with pytest.raises(ValueError, match="embedded null byte"):
            ReceiptLog.open("a\0b")

    def damage(self, store, sql, *params):
        db = sqlite3.connect(store)
        db.execute(sql, params)
        db.commit()
        db.close()

    @pytest.mark.parametrize("sql, params, message", [
        ("UPDATE receipt SET json = replace(json, 't5', 't9') WHERE seq = 5", (),
         "^QuorvexError: invalid receipt: signature verification failed at sequence 5$"),
        ("UPDATE receipt SET json = json || ' ' WHERE seq = 4", (),
         "^QuorvexError: invalid receipt: stored receipt is not in its compact form at sequence "
         "4$"),
        ("DELETE FROM receipt WHERE seq = 3", (),
         "^QuorvexError: receipt chain integrity violation at sequence 3$"),
        ("UPDATE receipt SET json = (SELECT json FROM receipt WHERE seq = 7) WHERE seq = 6", (),
         "^QuorvexError: receipt chain integrity violation at sequence 6$"),
        ("UPDATE receipt SET public_key = zeroblob(32) WHERE seq = 2", (),
         "^QuorvexError: invalid receipt: signature verification failed at sequence 2$"),
        # Receipt 3 completes the nodes 0/3, 1/1 and 2/0, kept in its row.
        ("UPDATE receipt SET tree = substr(tree, 1, 32) || zeroblob(32) || substr(tree, 65) "
         "WHERE seq = 3", (),
         r"^QuorvexError: invalid receipt: stored tree node 1/1 does not match the receipts below "
         r"it \(first receipt at sequence 2\)$"),
        ("UPDATE receipt SET tree = zeroblob(0) WHERE seq = 6", (),
         "^QuorvexError: invalid receipt: receipt store .* is damaged: tree node 0/6 is missing$"),
    ])
    def test_damage_is_found_with_its_position(self, store, key, sql, params, message):
        fill(ReceiptLog.open(store), key, 9)
        self.damage(store, sql, *params)
        with pytest.raises(RuntimeError, match=message):
            ReceiptLog.open(store).verify_integrity()

    def test_a_truncated_file_is_refused(self, store, key):
        log = ReceiptLog.open(store)
        with log:
            fill(log, key, 300)
        del log
        size = os.path.getsize(store)
        with open(store, "r+b") as f:
            f.truncate(size // 2)
        with pytest.raises(RuntimeError, match="^QuorvexError: receipt store .*"):
            log = ReceiptLog.open(store)
            log.verify_integrity()


def _appender(store, key, pipe):
    log = ReceiptLog.open(store)
    i = 0
    while True:
        log.append(AGENT, JTI, "t", b"x", key, tool=str(i))
        os.write(pipe, b"%d\n" % i)
        i += 1


def test_a_killed_appender_loses_nothing_that_returned(store, key):
    assert len(ReceiptLog.open(store)) == 0
    rng = random.Random(7)
    returned = 0
    for _ in range(100):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                _appender(store, key, write_end)
            finally:
                os._exit(1)
        os.close(write_end)
        time.sleep(rng.uniform(0.002, 0.03))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        with os.fdopen(read_end) as r:
            returned += len(r.read().split())
        log = ReceiptLog.open(store)
        assert log.verify_integrity() is None
        assert len(log) >= returned
        returned = len(log)
        del log  # no connection of this process is open across the next fork
    assert returned > 100


class TestTreeAndCheckpoints:
    def test_checkpoints_and_proofs_verify_offline(self, store, key):
        log = ReceiptLog.open(store)
        signer = KeyPair.generate()
        public = signer.public_key_bytes
        fill(log, key, 5)
        old = log.checkpoint("example.com/log", signer)
        fill(log, key, 6)
        new = log.checkpoint("example.com/log", signer)
        assert ReceiptLog.verify_checkpoint(new, public) == ("example.com/log", 11, log.root())
        assert ReceiptLog.verify_checkpoint(old, public, "example.com/log")[1:] == (5, log.root(5))
        for i in range(11):
            proof = log.inclusion_proof(i)
            ReceiptLog.verify_inclusion(log.receipt(i), i, proof, new, public)
            bundle = log.prove(i, new)
            assert ReceiptLog.check_proof(bundle, log.receipt(i), public) == i
        ReceiptLog.verify_consistency(old, new, log.consistency_proof(5), public)
        with pytest.raises(RuntimeError, match="^QuorvexError: invalid receipt: inclusion proof "
                           "does not verify: the receipt is not entry 1 of the checkpoint's tree "
                           "of size 11$") as caught:
            ReceiptLog.verify_inclusion(log.receipt(2), 1, log.inclusion_proof(1), new, public)
        assert caught.value.code == "InvalidReceipt"
        with pytest.raises(RuntimeError, match="the tree of size 11 does not extend the tree of "
                           "size 5$"):
            ReceiptLog.verify_consistency(old, new, log.consistency_proof(4), public)

    def test_a_rewritten_history_fails_against_an_old_checkpoint(self, store, key):
        signer = KeyPair.generate()
        log = ReceiptLog.open(store)
        fill(log, key, 8)
        old = log.checkpoint("log", signer)
        db = sqlite3.connect(store)
        db.execute("DELETE FROM receipt WHERE seq >= 6")
        db.commit()
        db.close()
        log = ReceiptLog.open(store)
        fill(log, key, 4)
        assert log.verify_integrity() is None
        new = log.checkpoint("log", signer)
        with pytest.raises(RuntimeError, match="does not extend the tree of size 8$"):
            ReceiptLog.verify_consistency(old, new, log.consistency_proof(8), signer.public_key_bytes)
        with pytest.raises(RuntimeError, match="^QuorvexError: invalid receipt: checkpoint is not "
                           "of this log: its root is not the log's tree head at size 8$"):
            log.prove(0, old)

    @pytest.mark.parametrize("kind", ["stored", "memory"])
    def test_range_errors(self, store, key, kind):
        log = ReceiptLog.open(store) if kind == "stored" else ReceiptLog()
        fill(log, key, 3)
        assert log.root(0) == hashlib.sha256(b"").digest()
        assert log.root(1) == hashlib.sha256(b"\0" + log.receipt(0).encode()).digest()
        assert log.consistency_proof(0) == [] and log.consistency_proof(3) == []
        for call, message in [
            (lambda: log.root(4), "tree size 4 is larger than the log's size 3"),
            (lambda: log.inclusion_proof(3), "receipt index 3 is not below the tree size 3"),
            (lambda: log.inclusion_proof(0, 4), "tree size 4 is larger than the log's size 3"),
            (lambda: log.consistency_proof(3, 2),
             "old tree size 3 is larger than the new tree size 2"),
            (lambda: log.checkpoint("o", key, 9), "tree size 9 is larger than the log's size 3"),
        ]:
            with pytest.raises(ValueError, match=f"^{message}$") as caught:
                call()
            assert caught.value.code == "InvalidArgument"
