import json
from concurrent.futures import ThreadPoolExecutor

import blake3
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from quorvex import KeyPair, ReceiptLog

AGENT = "did:aid:agents.test:alice"
JTI = "dat_01JGZ8Y4R3X0P9Q7V5T2M6K1NB"


@pytest.fixture
def key():
    return KeyPair.from_secret_bytes(bytes(range(32)))


def receipts(log):
    return json.loads(log.to_json())


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()


class TestReceiptLog:
    def test_new_log(self):
        log = ReceiptLog()
        assert (len(log), log.last_hash, log.next_sequence) == (0, "genesis", 0)
        assert log.verify_integrity() is None
        assert log.to_json() == "[]"
        assert repr(log) == str(log) == "ReceiptLog(entries=0, last_hash='genesis')"
        with pytest.raises(TypeError, match=r"^ReceiptLog.__new__\(\) takes 0 positional"):
            ReceiptLog(1)

    def test_append_with_required_arguments_only(self, key):
        log = ReceiptLog()
        assert log.append(AGENT, JTI, "mcp:tool-call", b"in", key) is None
        assert (len(log), log.next_sequence) == (1, 1)
        assert log.last_hash.startswith("blake3:") and len(log.last_hash) == 71
        assert repr(log) == f"ReceiptLog(entries=1, last_hash='{log.last_hash}')"
        [r] = receipts(log)
        assert list(r) == ["id", "timestamp", "agent", "dat", "action", "chain", "signature"]
        assert r["action"] == {
            "type": "mcp:tool-call",
            "inputHash": "blake3:" + blake3.blake3(b"in").hexdigest(),
            "status": "success",
        }
        assert r["chain"] == {"previousHash": "genesis", "sequenceNumber": 0}

    def test_optional_arguments(self, key):
        class Index:
            def __index__(self):
                return 7

        log = ReceiptLog()
        log.append(AGENT, JTI, "t", b"", key, server=None, tool="", output_data=b"",
                   status="failed", duration_ms=0, session_id="s")
        log.append(AGENT, JTI, "t", type("B", (bytes,), {})(b"x"), key, None, None, None,
                   "ok", Index(), None)
        first, second = (r["action"] for r in receipts(log))
        assert first == {
            "type": "t",
            "tool": "",
            "inputHash": "blake3:" + blake3.blake3(b"").hexdigest(),
            "outputHash": "blake3:" + blake3.blake3(b"").hexdigest(),
            "status": "failed",
            "durationMs": 0,
        }
        assert second["durationMs"] == 7 and "outputHash" not in second
        assert [r.get("context") for r in receipts(log)] == [{"sessionId": "s"}, None]

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"status": None}, TypeError,
             "argument 'status': 'NoneType' object cannot be converted to 'PyString'"),
            ({"input_data": bytearray(b"x")}, TypeError,
             "argument 'input_data': 'bytearray' object cannot be converted to 'PyBytes'"),
            ({"input_data": "x"}, TypeError,
             "argument 'input_data': 'str' object cannot be converted to 'PyBytes'"),
            ({"output_data": memoryview(b"x")}, TypeError,
             "argument 'output_data': 'memoryview' object cannot be converted to 'PyBytes'"),
            ({"signing_key": "k"}, TypeError,
             "argument 'signing_key': 'str' object cannot be converted to 'KeyPair'"),
            ({"duration_ms": 1.5}, TypeError,
             "argument 'duration_ms': 'float' object cannot be interpreted as an integer"),
            ({"duration_ms": -1}, OverflowError, "can't convert negative int to unsigned"),
            ({"duration_ms": 2**64}, OverflowError, "int too big to convert"),
            ({"colour": 1}, TypeError,
             "ReceiptLog.append() got an unexpected keyword argument 'colour'"),
        ],
    )
    def test_argument_errors_append_nothing(self, key, kwargs, error, message):
        args = {"agent_did": AGENT, "dat_jti": JTI, "action_type": "t", "input_data": b"",
                "signing_key": key}
        args.update(kwargs)
        log = ReceiptLog()
        with pytest.raises(error) as raised:
            log.append(**args)
        assert str(raised.value) == message
        assert len(log) == 0

    def test_missing_arguments(self):
        with pytest.raises(TypeError) as raised:
            ReceiptLog().append(AGENT, JTI, "t")
        assert str(raised.value) == ("ReceiptLog.append() missing 2 required positional "
                                     "arguments: 'input_data' and 'signing_key'")

    def test_log_is_held_while_arguments_convert(self, key):
        log = ReceiptLog()

        class Sneaky:
            def __index__(self):
                log.append(AGENT, JTI, "inner", b"", key)
                return 1

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            log.append(AGENT, JTI, "outer", b"", key, duration_ms=Sneaky())
        assert len(log) == 0
        log.append(AGENT, JTI, "after", b"", key)
        assert len(log) == 1

    def test_outside_audit_from_printed_json(self, key):
        """Every link and signature re-derived with other libraries and the public key."""
        log = ReceiptLog()
        texts = ["plain", "nul\x00inside", 'quote" back\\ nl\n tab\t \x01 \x7f é 😀', ""]
        for i, text in enumerate(texts):
            log.append(text or AGENT, JTI, text, text.encode(), key, server=text, tool=None,
                       output_data=b"o" * i, status=text or "success", duration_ms=i,
                       session_id=text or None)
        public = Ed25519PublicKey.from_public_bytes(key.public_key_bytes)
        expected = "genesis"
        printed = receipts(log)
        assert [r["agent"] for r in printed] == [t or AGENT for t in texts]
        for i, r in enumerate(printed):
            assert r["chain"] == {"previousHash": expected, "sequenceNumber": i}
            unsigned = {k: v for k, v in r.items() if k != "signature"}
            expected = "blake3:" + blake3.blake3(compact(unsigned)).hexdigest()
            signature = bytes.fromhex(r["signature"])
            public.verify(signature, compact(dict(r, signature="")))
        assert log.last_hash == expected
        assert log.verify_integrity() is None
        assert ReceiptLog.audit(log.to_json(), key.public_key_bytes) == len(texts)

    @pytest.mark.parametrize("json_text, public_key, error, message", [
        ("[]", b"\x00" * 31, ValueError, "Public key must be exactly 32 bytes"),
        ("[", None, ValueError, "Invalid receipt log JSON: syntax error while parsing value - "
         "unexpected end of input; expected '[', '{', or a literal at line 1 column 2"),
        (b"[]", None, TypeError,
         "argument 'json': 'bytes' object cannot be converted to 'PyString'"),
        (memoryview(b"[]"), None, TypeError,
         "argument 'json': 'memoryview' object cannot be converted to 'PyString'"),
        ("[]", bytearray(32), TypeError,
         "argument 'public_key': 'bytearray' object cannot be converted to 'PyBytes'"),
        (" []", None, ValueError,
         "Invalid receipt log JSON: printed log is not in canonical form at line 1 column 1"),
    ])
    def test_audit_arguments(self, key, json_text, public_key, error, message):
        with pytest.raises(error) as raised:
            ReceiptLog.audit(json_text, public_key or key.public_key_bytes)
        assert str(raised.value) == message

    def test_audit_reads_a_str_subclass_by_its_characters(self, key):
        log = ReceiptLog()
        log.append(AGENT, JTI, "t", b"", key)

        class Text(str):
            def __str__(self):
                return "[]"

            def encode(self, *args, **kwargs):
                return b"[]"

        assert ReceiptLog.audit(Text(log.to_json()), key.public_key_bytes) == 1

    def test_audit_from_several_threads_at_once(self, key):
        log = ReceiptLog()
        for i in range(600):
            log.append(AGENT, JTI, "t", str(i).encode(), key)
        text = log.to_json()
        damaged = text.replace('"sequenceNumber": 450', '"sequenceNumber": 7')
        jobs = [text, damaged] * 4

        def audit(json_text):
            try:
                return ReceiptLog.audit(json_text, key.public_key_bytes)
            except RuntimeError as e:
                return str(e)

        with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
            results = list(pool.map(audit, jobs))
        broken = "QuorvexError: receipt chain integrity violation at sequence 450"
        assert results == [600, broken] * 4
