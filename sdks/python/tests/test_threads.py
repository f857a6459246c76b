"""Calls that release the interpreter lock, made from many threads on shared objects."""
import os
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

from quorvex import AID, DAT, AgentIdentity, EvaluationContext, KeyPair, ReceiptLog

SEED = bytes(range(32))
KEY = KeyPair.from_secret_bytes(SEED)
PK = KEY.public_key_bytes
OTHER = KeyPair.from_secret_bytes(bytes(range(1, 33)))
ISS = "did:aid:test:issuer"
SUB = "did:aid:test:agent"
SCOPE = "mcp:tool:filesystem:read"
THREADS = 8
IDENTITY = AgentIdentity.create("t", domain="agents.test")
IDENTITY_DIR = tempfile.mkdtemp(prefix="quorvex-threads-")
IDENTITY.save(IDENTITY_DIR)
# A document past the size where parsing lets go of the lock (unknown members are skipped).
BIG_AID = IDENTITY.aid().to_json()[:-2] + ',\n  "padding": "' + "x" * 9000 + '"\n}'
FIX_KEY = ". Fix: Ensure the correct public key is used."


def in_threads(work, threads=THREADS):
    """work(i) on `threads` threads started together: what each returned or raised."""
    barrier = threading.Barrier(threads)
    results = [None] * threads

    def run(i):
        barrier.wait()
        try:
            results[i] = work(i)
        except BaseException as e:  # noqa: B036 - handed back to the test
            results[i] = e

    pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return results


class TestSharedObjects:
    def test_every_result_is_right(self):
        messages = [bytes([i]) * (i * 37 % 300) for i in range(40)]
        expected = [KEY.sign(m) for m in messages]
        ctx = EvaluationContext()
        ctx.request_ip = "10.0.0.7"
        token = DAT.issue(ISS, SUB, ["mcp:tool:*:read"], 3600, KEY, max_actions=5)

        def work(t):
            for i, m in enumerate(messages):
                assert KEY.sign(message=m) == expected[i]
                assert KEY.verify(m, expected[i]) is True
                assert KEY.verify(m + b"x", expected[i]) is False
                assert OTHER.verify(m, expected[i]) is False
                subject = f"{SUB}-{t}-{i}"
                issued = DAT.issue(ISS, subject, [SCOPE], 3600, signing_key=KEY, max_actions=5)
                again = DAT.from_compact(issued.to_compact())
                assert (again.subject, again.jti) == (subject, issued.jti)
                assert again.verify(PK, SCOPE, ctx) is None
                assert token.verify(public_key_bytes=PK, required_scope=SCOPE, ctx=ctx) is None
                assert token.verify_signature(PK) is True
                assert token.verify_signature(OTHER.public_key_bytes) is False
                assert KeyPair.from_secret_bytes(SEED).public_key_bytes == PK
            return KeyPair.generate().public_key_bytes

        keys = in_threads(work)
        assert all(isinstance(k, bytes) for k in keys), keys
        assert len(set(keys)) == THREADS

    def test_context_stays_writable_during_verifications(self):
        # verify copies the context and gives it back before it lets go of the lock.
        ctx = EvaluationContext()
        token = DAT.issue(ISS, SUB, [SCOPE], 3600, KEY)
        done = threading.Event()

        def work(t):
            if t == 0:
                writes = 0
                while not done.is_set():
                    ctx.request_ip = f"10.0.0.{writes % 250}"
                    ctx.delegation_depth = writes % 3
                    writes += 1
                return writes
            try:
                for _ in range(300):
                    token.verify(PK, SCOPE, ctx)
            finally:
                done.set()
            return None

        results = in_threads(work, threads=3)
        assert isinstance(results[0], int) and results[1:] == [None, None], results


class TestErrorsInWorkers:
    @pytest.mark.parametrize(
        "call, kind, message",
        [
            (lambda: DAT.issue(ISS, SUB, [SCOPE], 60, KEY).verify(OTHER.public_key_bytes, SCOPE),
             ValueError, "VerificationFailedError: signature verification failed: "
             "signature error: Verification equation was not satisfied" + FIX_KEY),
            (lambda: DAT.issue(ISS, SUB, [SCOPE], 60, KEY).verify(b"\x02" + bytes(31), SCOPE),
             RuntimeError,
             "QuorvexError: invalid key material: signature error: Cannot decompress Edwards point"),
            (lambda: DAT.issue(ISS, SUB, [SCOPE], -60, KEY).verify(PK, SCOPE), ValueError,
             "Expired"),
            (lambda: DAT.issue(ISS, SUB, [SCOPE], 60, KEY).verify(PK, "mcp:tool:x:write"),
             ValueError, "ScopeNotCovered"),
            (lambda: DAT.from_compact("a.b"), ValueError,
             "InvalidDatError: invalid DAT: compact JWS must have 3 parts"),
        ],
        ids=["wrong key", "no curve point", "expired", "scope", "parse"],
    )
    def test_exception_and_text(self, call, kind, message):
        for error in in_threads(lambda _: call()):
            assert type(error) is kind and str(error) == message, repr(error)

    @pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""),
                        reason="a sanitizer's allocator reports running out itself")
    def test_memory_error_from_native_work(self):
        # The arguments are copied under the lock; the signing input, built without it, finds
        # no room. Every thread's allocations come from one arena, made before the limit.
        code = """
            import resource, threading
            from quorvex import DAT, KeyPair
            key = KeyPair.generate()
            scope = ["d" * (64 << 20)]
            out = []
            go = threading.Event()
            def work():
                DAT.issue("a", "b", ["c"], 60, key)
                go.wait()
                try:
                    DAT.issue("a", "b", scope, 60, key)
                except MemoryError as e:
                    out.append(type(e).__name__)
            worker = threading.Thread(target=work)
            worker.start()
            with open("/proc/self/status") as f:
                size = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) << 10
            resource.setrlimit(resource.RLIMIT_AS, (size + (136 << 20), resource.RLIM_INFINITY))
            go.set()
            worker.join()
            print(out, DAT.issue("a", "b", ["c"], 60, key).issuer)
        """
        env = dict(os.environ, MALLOC_ARENA_MAX="1")
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                             text=True, env=env)
        assert (out.returncode, out.stdout) == (0, "['MemoryError'] a\n"), out.stderr


BIG = b"m" * (1 << 20)
BIG_SIGNATURE = KEY.sign(BIG)
# Long enough for DAT.from_compact to parse it without the lock.
WIDE = DAT.issue(ISS, SUB, [f"mcp:tool:t{i}:read" for i in range(2000)], 3600, KEY)
WIDE_TEXT = WIDE.to_compact()


PRINTED_LOG = ReceiptLog()
for _ in range(3):
    PRINTED_LOG.append(SUB, "dat_1", "mcp:tool-call", b"in", KEY)
PRINTED = PRINTED_LOG.to_json()


def save_new_refused():
    with pytest.raises(FileExistsError):
        IDENTITY.save_new(IDENTITY_DIR)


class TestLockRelease:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: KeyPair.generate(),
            lambda: KeyPair.from_secret_bytes(SEED),
            lambda: KEY.sign(BIG),
            lambda: KEY.verify(BIG, BIG_SIGNATURE),
            lambda: DAT.issue(ISS, SUB, [SCOPE], 60, KEY),
            lambda: DAT.issue_constrained(ISS, SUB, [SCOPE], 60, KEY,
                                          constraints={"ipAllowlist": ["10.0.0.0/8"]}),
            lambda: DAT.from_compact(WIDE_TEXT),
            lambda: WIDE.verify(PK, "mcp:tool:t1999:read"),
            lambda: WIDE.authorize({ISS: PK}, "mcp:tool:t1999:read"),
            lambda: WIDE.verify_signature(PK),
            lambda: AgentIdentity.create("t"),
            lambda: IDENTITY.save(IDENTITY_DIR),
            save_new_refused,
            lambda: AgentIdentity.load(IDENTITY_DIR),
            lambda: IDENTITY.issue_dat(SUB, [SCOPE]),
            lambda: AID.from_json(BIG_AID),
            lambda: ReceiptLog.audit(PRINTED, PK),
        ],
        ids=["generate", "from_secret_bytes", "sign", "verify", "issue", "issue_constrained",
             "from_compact", "DAT.verify", "authorize", "verify_signature", "create", "save",
             "save_new", "load", "issue_dat", "AID.from_json", "audit"],
    )
    def test_other_threads_run_during_the_call(self, call):
        # With no forced switches, another thread can run only while a call lets go of the lock.
        ran = []
        gate = threading.Lock()
        gate.acquire()
        waiting = threading.Event()

        def other():
            waiting.set()
            with gate:
                ran.append(True)

        old = sys.getswitchinterval()
        sys.setswitchinterval(30.0)
        try:
            worker = threading.Thread(target=other)
            worker.start()
            waiting.wait()
            gate.release()  # the worker now needs only the interpreter lock
            deadline = time.monotonic() + 10
            while not ran and time.monotonic() < deadline:
                call()
            seen = bool(ran)
        finally:
            sys.setswitchinterval(old)
        worker.join()
        assert seen

    def test_daemon_threads_at_exit(self):
        # The interpreter ends such threads as they take the lock back; the process exits cleanly.
        code = """
            import threading
            from quorvex import KeyPair
            key = KeyPair.generate()
            message = bytes(1 << 20)  # long calls: the threads are inside one at exit
            signature = key.sign(message)
            def spin():
                while True:
                    assert key.verify(message, signature)
            for _ in range(4):
                threading.Thread(target=spin, daemon=True).start()
            threading.Event().wait(0.2)
        """
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                             text=True)
        assert (out.returncode, out.stderr) == (0, "")
