"""DAT.verify up to the constraints: keys, arguments, timing and the scope step."""

import time

import pytest

from dat_helpers import FIX_KEY, OTHER, PK, issue, parsed, verdict
from quorvex import EvaluationContext, Scope

EXPIRED = "DatExpiredError: DAT expired. Fix: Issue a new DAT with a later expiration."
NOT_YET_VALID = (
    "DatNotYetValidError: DAT not yet valid. Fix: Check system clock or wait until the nbf time."
)


class TestDAT:
    # ---- verify: keys and arguments ---------------------------------------------

    def test_verify_success(self):
        assert issue().verify(PK, "mcp:tool:fs:read") is None
        assert issue(max_delegation_depth=0).verify(PK, "mcp:tool:fs:read", None) is None
        ctx = EvaluationContext()
        result = issue().verify(public_key_bytes=PK, required_scope="mcp:tool:x:read", ctx=ctx)
        assert result is None

    def test_wrong_key(self):
        dat = issue()
        assert dat.verify_signature(OTHER.public_key_bytes) is False
        with pytest.raises(ValueError) as e:
            dat.verify(OTHER.public_key_bytes, "mcp:tool:fs:read")
        assert str(e.value) == (
            "VerificationFailedError: signature verification failed: "
            "signature error: Verification equation was not satisfied" + FIX_KEY
        )

    def test_key_not_a_curve_point(self):
        dat = issue()
        assert dat.verify_signature(b"\x02" + bytes(31)) is False
        with pytest.raises(RuntimeError) as e:
            dat.verify(b"\x02" + bytes(31), "mcp:tool:fs:read")
        assert str(e.value) == (
            "QuorvexError: invalid key material: signature error: Cannot decompress Edwards point"
        )

    @pytest.mark.parametrize("method", ["verify", "verify_signature"])
    @pytest.mark.parametrize("length", [0, 5, 31, 33, 64])
    def test_key_length(self, method, length):
        with pytest.raises(ValueError) as e:
            getattr(issue(), method)(bytes(length))
        assert str(e.value) == "Public key must be exactly 32 bytes"

    @pytest.mark.parametrize("method", ["verify", "verify_signature"])
    @pytest.mark.parametrize("key", [bytearray(PK), memoryview(PK), PK.hex(), None])
    def test_key_must_be_bytes(self, method, key):
        with pytest.raises(TypeError) as e:
            getattr(issue(), method)(key)
        assert str(e.value) == (
            f"argument 'public_key_bytes': '{type(key).__name__}' object "
            "cannot be converted to 'PyBytes'"
        )

    def test_verify_argument_order(self):
        dat = issue()
        with pytest.raises(TypeError) as e:
            dat.verify(PK, "a:b:c:d", 5)
        assert str(e.value) == (
            "argument 'ctx': 'int' object cannot be converted to 'EvaluationContext'"
        )
        # Every argument is converted before the key length is checked.
        with pytest.raises(TypeError) as e:
            dat.verify(b"12345", "a:b:c:d", Scope("a:b:c:d"))
        assert str(e.value) == (
            "argument 'ctx': 'Scope' object cannot be converted to 'EvaluationContext'"
        )
        with pytest.raises(TypeError) as e:
            dat.verify(b"12345", None)
        assert str(e.value) == (
            "argument 'required_scope': 'NoneType' object cannot be converted to 'PyString'"
        )
        with pytest.raises(TypeError) as e:
            dat.verify()
        assert str(e.value) == (
            "DAT.verify() missing 1 required positional argument: 'public_key_bytes'"
        )
        with pytest.raises(TypeError) as e:
            dat.verify(PK, "", None, 1)
        assert str(e.value) == (
            "DAT.verify() takes from 1 to 3 positional arguments but 4 were given"
        )
        with pytest.raises(TypeError) as e:
            dat.to_compact(1)
        assert str(e.value) == "DAT.to_compact() takes 0 positional arguments but 1 was given"

    def test_signature_is_checked_before_timing_and_scope(self):
        expired = issue(expires_in_seconds=-10)
        with pytest.raises(ValueError, match=r"^VerificationFailedError: "):
            expired.verify(OTHER.public_key_bytes, "x:y:z:w")

    # ---- verify: timing and scope --------------------------------------------------

    def test_expired(self):
        dat = issue(expires_in_seconds=-10)
        assert verdict(dat) == "Expired"
        assert verdict(dat, scope="") == "Expired"
        assert dat.is_expired is True
        with pytest.raises(ValueError) as e:
            dat.validate_timing()
        assert str(e.value) == EXPIRED

    def test_not_yet_valid(self):
        now = int(time.time())
        dat = parsed(nbf=now + 600, exp=now + 1200)
        assert verdict(dat) == "NotYetValid"
        assert dat.is_expired is False
        with pytest.raises(ValueError) as e:
            dat.validate_timing()
        assert str(e.value) == NOT_YET_VALID
        # Expiry is checked first.
        both = parsed(nbf=now + 600, exp=now - 600)
        assert verdict(both) == "Expired"
        with pytest.raises(ValueError) as e:
            both.validate_timing()
        assert str(e.value) == EXPIRED

    def test_expiry_second_boundary(self):
        for _ in range(5):
            now = int(time.time())
            dat = parsed(exp=now, nbf=now - 10)
            results = (dat.is_expired, verdict(dat), repr(dat).endswith("expired=true)"))
            try:
                dat.validate_timing()
                timing = "ok"
            except ValueError as e:
                timing = str(e)
            if int(time.time()) == now:
                assert results == (True, "ok", True)
                assert timing == EXPIRED
                return
        pytest.fail("clock kept crossing second boundaries")

    def test_validate_timing_success(self):
        assert issue().validate_timing() is None
        assert parsed(nbf=int(time.time()) - 5).validate_timing() is None

    @pytest.mark.parametrize(
        "granted,required,result",
        [
            (["mcp:tool:*:read"], "mcp:tool:filesystem:read", "ok"),
            (["read", "mcp:tool:*:*"], "mcp:tool:filesystem:read", "ScopeNotCovered"),
            (["a:b:c:d", "mcp:tool:*:*"], "mcp:tool:filesystem:read", "ok"),
            (["mcp:tool:*:read"], "mcp:tool:filesystem:write", "ScopeNotCovered"),
            (["mcp:tool:*:read"], "", "ScopeNotCovered"),
            (["*:*:*:*"], "", "ScopeNotCovered"),
            (["*:*:*:*"], "mcp:tool", "ScopeNotCovered"),
            ([], "a:b:c:d", "ScopeNotCovered"),
            (["a:b:c:d"], "a:b:c:d\x00", "ScopeNotCovered"),
            (["a:b:c:*"], "a:b:c:\x00", "ok"),
        ],
    )
    def test_scope_step(self, granted, required, result):
        assert verdict(issue(scope=granted), scope=required) == result

    def test_default_required_scope_is_not_covered(self):
        with pytest.raises(ValueError) as e:
            issue(scope=["*:*:*:*"]).verify(PK)
        assert str(e.value) == "ScopeNotCovered"
        assert e.value.args == ("ScopeNotCovered",)
