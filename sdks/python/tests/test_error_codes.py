"""The `code` and `details` every ValueError and RuntimeError of the module carries."""

import json
import time

import pytest

from dat_helpers import FIX_KEY, KEY, OTHER, PK, SCOPE, issue, parsed
from quorvex import (AID, DAT, AgentIdentity, EvaluationContext, KeyPair, ReceiptLog, Scope,
                     TrustLevel)
from tokens import HEADER, signed

AGENT = "did:aid:test:agent"
JTI = "dat_01HZZZZZZZZZZZZZZZZZZZZZZZ"


def raised(error, call):
    """The exception of exactly type error that call raises."""
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    return info.value


def refusal(error, call):
    """(message, code, details) of the exception call raises."""
    e = raised(error, call)
    assert type(e.code) is str and type(e.details) is dict
    return str(e), e.code, e.details


def context(**fields):
    ctx = EvaluationContext()
    for name, value in fields.items():
        setattr(ctx, name, value)
    return ctx


NOW = int(time.time())


class TestViolations:
    """DAT.verify: the variant's name, its fields under the names of its one-line form."""

    @pytest.mark.parametrize(
        "members,fields,scope,message,code,details",
        [
            ({"exp": NOW - 5}, {}, SCOPE, "Expired", "Expired", {}),
            ({"nbf": NOW + 600, "exp": NOW + 1200}, {}, SCOPE, "NotYetValid", "NotYetValid", {}),
            ({}, {}, "x:y:z:w", "ScopeNotCovered", "ScopeNotCovered", {}),
            ({"constraints": {"rateLimit": {"max_actions": 5, "window_secs": 86400}}},
             {"actions_in_window": 5}, SCOPE,
             'RateLimitExceeded { limit_type: "daily", limit: 5, current: 5 }',
             "RateLimitExceeded", {"limit_type": "daily", "limit": 5, "current": 5}),
            ({"constraints": {"ipDenylist": ["10.0.0.0/8"]}}, {"request_ip": "10.1.2.3"}, SCOPE,
             'IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" }',
             "IpBlocked", {"ip": "10.1.2.3", "reason": "IP in denied list"}),
            # Texts are the values themselves, not their escaped one-line form.
            ({"constraints": {"ipDenylist": ["10.0.0.0/8"]}}, {"request_ip": "10.1.2.3\x00x"},
             SCOPE, 'IpBlocked { ip: "10.1.2.3\\u{0}x", reason: "IP not parseable" }',
             "IpBlocked", {"ip": "10.1.2.3\x00x", "reason": "IP not parseable"}),
            ({"constraints": {"minTrustLevel": 2}}, {"agent_trust_level": 1}, SCOPE,
             'InsufficientTrustLevel { required: "L2", actual: "L1" }',
             "InsufficientTrustLevel", {"required": "L2", "actual": "L1"}),
            ({"constraints": {"maxDelegationDepth": 0}}, {"delegation_depth": 2**32 - 1}, SCOPE,
             "DelegationDepthExceeded { max_depth: 0, actual_depth: 4294967295 }",
             "DelegationDepthExceeded", {"max_depth": 0, "actual_depth": 2**32 - 1}),
            ({"constraints": {"allowedCountries": ["us", 'C"A']}}, {"country_code": "fr"}, SCOPE,
             'GeofenceViolation { country: "fr", allowed: ["us", "C\\"A"] }',
             "GeofenceViolation", {"country": "fr", "allowed": ["us", 'C"A']}),
            ({"constraints": {"allowedCountries": []}}, {}, SCOPE, None, None, None),
            ({"constraints": {"timeWindows": [{"start_hour": 24, "end_hour": 24}]}}, {}, SCOPE,
             "OutsideTimeWindow", "OutsideTimeWindow", {}),
            ({"constraints": {"requiredConfigHash": "ABC"}}, {}, SCOPE,
             'ConfigAttestationMismatch { expected: "ABC", actual: None }',
             "ConfigAttestationMismatch", {"expected": "ABC", "actual": None}),
            ({"constraints": {"requiredConfigHash": "ABC"}}, {"agent_config_hash": "abc"}, SCOPE,
             'ConfigAttestationMismatch { expected: "ABC", actual: Some("abc") }',
             "ConfigAttestationMismatch", {"expected": "ABC", "actual": "abc"}),
        ],
    )
    def test_variant(self, members, fields, scope, message, code, details):
        dat = parsed(scope=[SCOPE], **members)
        ctx = context(**fields)
        if message is None:  # an empty country list allows every request
            assert dat.verify(PK, scope, ctx) is None
            return
        assert refusal(ValueError, lambda: dat.verify(PK, scope, ctx)) == (message, code, details)


class TestCoreErrors:
    """A core error: its kind's name; a JSON error's position as line and column."""

    def test_token_refusals(self):
        cases = [
            (lambda: DAT.from_compact("abc"), ValueError,
             "InvalidDatError: invalid DAT: compact JWS must have 3 parts", "InvalidDat", {}),
            (lambda: issue().verify(OTHER.public_key_bytes, SCOPE), ValueError,
             "VerificationFailedError: signature verification failed: "
             "signature error: Verification equation was not satisfied" + FIX_KEY,
             "VerificationFailed", {}),
            (lambda: issue().verify(b"\x02" + bytes(31), SCOPE), RuntimeError,
             "QuorvexError: invalid key material: signature error: Cannot decompress Edwards point",
             "InvalidKey", {}),
            (issue(expires_in_seconds=-10).validate_timing, ValueError,
             "DatExpiredError: DAT expired. Fix: Issue a new DAT with a later expiration.",
             "DatExpired", {}),
            (parsed(nbf=NOW + 600, exp=NOW + 1200).validate_timing, ValueError,
             "DatNotYetValidError: DAT not yet valid. Fix: Check system clock or wait until the "
             "nbf time.", "DatNotYetValid", {}),
            (lambda: Scope("a:b"), ValueError,
             "ScopeNotPermittedError: scope not permitted: scope must have 4 parts "
             "(namespace:protocol:resource:action), got: a:b", "ScopeNotPermitted", {}),
        ]
        for call, error, message, code, details in cases:
            assert refusal(error, call) == (message, code, details)

    def test_malformed_json_has_its_position(self):
        text = signed(HEADER, '{"iss":\n 1}', KEY)
        assert refusal(RuntimeError, lambda: DAT.from_compact(text)) == (
            "QuorvexError: serialization error: invalid type: integer `1`, expected a string "
            "at line 2 column 3",
            "Serialization", {"line": 2, "column": 3},
        )

    def test_document_refusals(self, tmp_path):
        assert refusal(ValueError, lambda: AID.from_json("{}")) == (
            "Invalid AID JSON: missing field `@context` at line 1 column 2",
            "Serialization", {"line": 1, "column": 2},
        )
        doc = json.loads(AgentIdentity.create("alice", "agents.test").aid().to_json())
        doc["controller"] = "alice"
        assert refusal(ValueError, lambda: AID.from_json(json.dumps(doc))) == (
            "InvalidAidError: AID document validation failed: controller must be a valid DID",
            "AidValidation", {},
        )
        assert refusal(RuntimeError, lambda: AgentIdentity.load(str(tmp_path))) == (
            "Failed to read key: No such file or directory (os error 2)", "Other", {})
        (tmp_path / "secret.key").write_text("0" * 63)
        assert refusal(ValueError, lambda: AgentIdentity.load(str(tmp_path))) == (
            "Invalid key hex: Odd number of digits", "InvalidKey", {})


class TestBindingChecks:
    """The binding's own checks of what the caller passed: InvalidArgument, no fields."""

    def test_invalid_arguments(self):
        cases = [
            (lambda: issue().verify(PK[:31], SCOPE), "Public key must be exactly 32 bytes"),
            (lambda: KeyPair.from_secret_bytes(b"x"), "Secret key must be exactly 32 bytes"),
            (lambda: issue(expires_in_seconds=9223372036854776),
             "expires_in_seconds must lie between -9223372036854775 and 9223372036854775"),
            (lambda: AgentIdentity.load("a\x00b"), "embedded null byte"),
        ]
        for call, message in cases:
            assert refusal(ValueError, call) == (message, "InvalidArgument", {})
        # Texts worded in the core, checked where they are made.
        for call in (lambda: TrustLevel("L9"), lambda: KeyPair.public_key_from("z")):
            assert refusal(ValueError, call)[1:] == ("InvalidArgument", {})
        # A str with a lone surrogate is no text: its UnicodeEncodeError is a ValueError too.
        assert refusal(UnicodeEncodeError, lambda: Scope("a:b:c:\ud800")) == (
            "'utf-8' codec can't encode character '\\ud800' in position 6: surrogates not allowed",
            "InvalidArgument", {},
        )

    def test_log_in_use(self):
        log = ReceiptLog()

        class Sneaky:
            def __index__(self):
                log.append(AGENT, JTI, "inner", b"", KEY)
                return 1

        def call():
            log.append(AGENT, JTI, "outer", b"", KEY, duration_ms=Sneaky())

        assert refusal(RuntimeError, call) == ("Already borrowed", "AlreadyBorrowed", {})

    def test_other_exceptions_have_no_code(self):
        e = raised(TypeError, lambda: KeyPair.from_secret_bytes("x"))
        assert not hasattr(e, "code") and not hasattr(e, "details")


def test_attributes_belong_to_each_exception():
    dat = parsed(scope=[SCOPE], constraints={"requiredConfigHash": "h"})
    first = raised(ValueError, lambda: dat.verify(PK, SCOPE, EvaluationContext()))
    first.details["expected"] = "changed"
    second = raised(ValueError, lambda: dat.verify(PK, SCOPE, EvaluationContext()))
    assert second.details == {"expected": "h", "actual": None}
    assert first.details is not second.details
    assert {"code", "details"} <= set(vars(second))
    assert second.args == ('ConfigAttestationMismatch { expected: "h", actual: None }',)
    for cls in (ValueError, RuntimeError, Exception):
        assert not hasattr(cls, "code") and not hasattr(cls, "details")
    assert not hasattr(ValueError("x"), "code")
