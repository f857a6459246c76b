"""DAT.issue: the texts it writes, its arguments, expiry limits; and the DAT accessors."""

import json
import time

import pytest

from dat_helpers import ISS, KEY, PK, SUB, issue, parsed
from quorvex import DAT
from tokens import compact_json, segments

ULID_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"

# Expiry instants must fall in the years -262143 to 262142.
MIN_EXPIRY = -8334601315200
MAX_EXPIRY = 8210266876799


def ulid_millis(text):
    value = 0
    for ch in text[:10]:
        value = value * 32 + ULID_ALPHABET.index(ch)
    return value


class TestDAT:
    # ---- issue ---------------------------------------------------------------

    def test_issued_header_and_claims_json(self):
        before = int(time.time())
        dat = issue(scope=["mcp:tool:*:read", "read", "mcp:tool:*:read"])
        after = int(time.time())
        header, body = segments(dat.to_compact())
        assert header == (
            '{"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"did:aid:test:issuer#key-ed25519"}'
        )
        c = json.loads(body)
        assert before <= c["iat"] <= after
        assert body == (
            '{"iss":"did:aid:test:issuer","sub":"did:aid:test:agent",'
            f'"iat":{c["iat"]},"exp":{c["iat"] + 3600},"nbf":{c["iat"]},"jti":"{dat.jti}",'
            '"scope":["mcp:tool:*:read","read","mcp:tool:*:read"],"delegationChain":[]}'
        )

    def test_text_escaping_in_json(self):
        odd = 'q"b\\s/\x1b\x00\x7f\n\t\b\f\r\u00e9\u2028\U0001f600'
        dat = DAT.issue(odd, odd, [odd], 60, KEY)
        header, body = segments(dat.to_compact())
        kid = odd + "#key-ed25519"
        assert header == compact_json({"alg": "EdDSA", "typ": "quorvex-dat+jwt", "kid": kid})
        assert '"iss":"q\\"b\\\\s/\\u001b\\u0000\x7f\\n\\t\\b\\f\\r\u00e9\u2028\U0001f600"' in body
        assert json.loads(body)["scope"] == [odd]
        assert dat.issuer == dat.subject == odd
        assert DAT.from_compact(dat.to_compact()).scope == [odd]

    def test_times_and_jti(self):
        t0 = time.time_ns() // 1_000_000
        dat = issue()
        t1 = time.time_ns() // 1_000_000
        now = int(time.time())
        c = json.loads(segments(dat.to_compact())[1])
        assert c["iat"] == c["nbf"]
        assert dat.expires_at == c["exp"] == c["iat"] + 3600
        assert dat.expires_at - now in (3600, 3599)
        jti = dat.jti
        assert len(jti) == 30 and jti.startswith("dat_")
        assert set(jti[4:]) <= set(ULID_ALPHABET)
        assert jti[4] in "01234567"
        assert t0 <= ulid_millis(jti[4:]) <= t1
        assert len({issue().jti for _ in range(50)}) == 50

    @pytest.mark.parametrize(
        "kwargs,constraints",
        [
            ({}, None),
            ({"max_actions": None, "require_receipt": None}, None),
            ({"max_actions": 0}, {"maxActions": 0}),
            ({"max_actions": 2**64 - 1}, {"maxActions": 2**64 - 1}),
            ({"require_receipt": False}, {"requireReceipt": False}),
            ({"require_receipt": True}, {"requireReceipt": True}),
            ({"max_delegation_depth": 0}, {"maxDelegationDepth": 0}),
            ({"max_delegation_depth": 2**32 - 1}, {"maxDelegationDepth": 2**32 - 1}),
            ({"min_trust_level": 255}, {"minTrustLevel": 255}),
            (
                {"min_trust_level": 3, "max_delegation_depth": 2, "require_receipt": True,
                 "max_actions": 5},
                {"maxActions": 5, "requireReceipt": True, "minTrustLevel": 3,
                 "maxDelegationDepth": 2},
            ),
        ],
    )
    def test_constraints_present_when_any_keyword_given(self, kwargs, constraints):
        # Members are written in declaration order: minTrustLevel before maxDelegationDepth.
        body = segments(issue(**kwargs).to_compact())[1]
        assert body.endswith('"delegationChain":[]}')
        if constraints is None:
            assert '"constraints"' not in body
        else:
            expected = '"scope":["mcp:tool:*:read"],"constraints":' + compact_json(constraints)
            assert expected + "," in body

    def test_tuple_scope_and_positional_keywords(self):
        dat = DAT.issue(ISS, SUB, ("a:b:c:d", "e:f:g:h"), 10, KEY, 1, True, 2, 3)
        assert dat.scope == ["a:b:c:d", "e:f:g:h"]
        assert (
            '"constraints":{"maxActions":1,"requireReceipt":true,"minTrustLevel":3,'
            '"maxDelegationDepth":2}' in segments(dat.to_compact())[1]
        )
        assert issue(scope=[]).scope == []

    @pytest.mark.parametrize(
        "args,name,detail",
        [
            ((1, 2, "x", 1.5, None), "issuer_did",
             "'int' object cannot be converted to 'PyString'"),
            ((ISS, b"s", "x", 1.5, None), "subject_did",
             "'bytes' object cannot be converted to 'PyString'"),
            ((ISS, SUB, "a:b:c:d", 1.5, None), "scope",
             'a str is not accepted as a list of str; pass ["..."] instead'),
            ((ISS, SUB, {"a:b:c:d"}, 1, KEY), "scope",
             "'set' object cannot be converted to 'Sequence'"),
            ((ISS, SUB, ["a:b:c:d", 1], 1.5, None), "scope",
             "'int' object cannot be converted to 'PyString'"),
            ((ISS, SUB, [], 1.5, None), "expires_in_seconds",
             "'float' object cannot be interpreted as an integer"),
            ((ISS, SUB, [], "1", None), "expires_in_seconds",
             "'str' object cannot be interpreted as an integer"),
            ((ISS, SUB, [], 1, PK), "signing_key",
             "'bytes' object cannot be converted to 'KeyPair'"),
            ((ISS, SUB, [], 1, KEY, "1"), "max_actions",
             "'str' object cannot be interpreted as an integer"),
            ((ISS, SUB, [], 1, KEY, None, 1), "require_receipt",
             "'int' object cannot be converted to 'PyBool'"),
            ((ISS, SUB, [], 1, KEY, None, None, 1.0), "max_delegation_depth",
             "'float' object cannot be interpreted as an integer"),
            ((ISS, SUB, [], 1, KEY, None, None, None, "3"), "min_trust_level",
             "'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_issue_argument_errors_in_order(self, args, name, detail):
        with pytest.raises(TypeError) as e:
            DAT.issue(*args)
        assert str(e.value) == f"argument '{name}': {detail}"

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"max_actions": -1},
            {"max_actions": 2**64},
            {"max_delegation_depth": -1},
            {"max_delegation_depth": 2**32},
            {"min_trust_level": -1},
            {"min_trust_level": 256},
            {"expires_in_seconds": 2**63},
            {"expires_in_seconds": -(2**63) - 1},
        ],
    )
    def test_out_of_range_integers(self, kwargs):
        with pytest.raises(OverflowError):
            issue(**kwargs)

    def test_conversion_stops_at_first_failure(self):
        with pytest.raises(OverflowError):
            issue(max_actions=-1, require_receipt=1)
        with pytest.raises(TypeError, match="^argument 'require_receipt': "):
            issue(require_receipt=1, max_delegation_depth=2**32)
        with pytest.raises(OverflowError):
            issue(expires_in_seconds=2**63, max_actions="1")
        # The expiry range is checked only once every argument has converted.
        with pytest.raises(TypeError, match="^argument 'min_trust_level': "):
            issue(expires_in_seconds=9223372036854776, min_trust_level="1")

    def test_index_objects_accepted(self):
        class Seven:
            def __index__(self):
                return 7

        dat = issue(expires_in_seconds=Seven(), max_actions=Seven(), min_trust_level=True)
        assert '"constraints":{"maxActions":7,"minTrustLevel":1}' in segments(dat.to_compact())[1]
        assert dat.expires_at - int(time.time()) in (7, 6)

    def test_call_shape_errors(self):
        with pytest.raises(TypeError) as e:
            DAT.issue(ISS, SUB)
        assert str(e.value) == (
            "DAT.issue() missing 3 required positional arguments: "
            "'scope', 'expires_in_seconds', and 'signing_key'"
        )
        with pytest.raises(TypeError) as e:
            DAT.issue(ISS, SUB, [], 1, KEY, 1, True, 1, 1, 1)
        assert str(e.value) == (
            "DAT.issue() takes from 5 to 9 positional arguments but 10 were given"
        )
        with pytest.raises(TypeError) as e:
            issue(ttl=5)
        assert str(e.value) == "DAT.issue() got an unexpected keyword argument 'ttl'"
        with pytest.raises(TypeError) as e:
            DAT.issue(ISS, SUB, [], 1, KEY, issuer_did=ISS)
        assert str(e.value) == "DAT.issue() got multiple values for argument 'issuer_did'"
        with pytest.raises(TypeError) as e:
            DAT()
        assert str(e.value) == "No constructor defined for DAT"

    # The bounds themselves are checked in the core's expiry table.
    def test_expires_in_beyond_millisecond_range(self):
        with pytest.raises(ValueError) as e:
            issue(expires_in_seconds=9223372036854776)
        assert str(e.value) == (
            "expires_in_seconds must lie between -9223372036854775 and 9223372036854775"
        )

    def test_expiry_outside_date_range(self):
        with pytest.raises(ValueError) as e:
            issue(expires_in_seconds=-(10**13))
        assert str(e.value) == (
            "expires_in_seconds puts the expiry outside the representable date range "
            "(years -262143 to 262142)"
        )

    def test_expiry_at_the_ends_of_the_date_range(self):
        now = int(time.time())
        for limit, inside, outside in ((MAX_EXPIRY, -2, 1), (MIN_EXPIRY, 5, -1)):
            dat = issue(expires_in_seconds=limit - now + inside)
            assert abs(dat.expires_at - limit) <= 5
            again = DAT.from_compact(dat.to_compact())
            assert again.expires_at == dat.expires_at
            assert again.verify_signature(PK) is True
            if outside > 0:
                with pytest.raises(ValueError):
                    issue(expires_in_seconds=limit - now + outside)
        big = issue(expires_in_seconds=10**12)
        assert big.expires_at - int(time.time()) in (10**12, 10**12 - 1)
        assert big.is_expired is False

    # ---- accessors -------------------------------------------------------------------

    def test_repr(self):
        dat = issue()
        assert repr(dat) == f"DAT(issuer='{ISS}', subject='{SUB}', jti='{dat.jti}', expired=false)"
        old = DAT.issue("it's", 'a "b"\n', [], -1, KEY)
        assert repr(old) == (
            f"DAT(issuer='it's', subject='a \"b\"\n', jti='{old.jti}', expired=true)"
        )

    def test_properties(self):
        dat = issue(scope=["b:b:b:b", "a:a:a:a", "b:b:b:b"])
        assert dat.issuer == ISS and dat.subject == SUB
        assert isinstance(dat.expires_at, int) and dat.is_expired is False
        first = dat.scope
        assert first == ["b:b:b:b", "a:a:a:a", "b:b:b:b"]
        assert dat.scope is not first
        first.append("x")
        assert dat.scope == ["b:b:b:b", "a:a:a:a", "b:b:b:b"]
        for name in ("issuer", "subject", "jti", "scope", "expires_at", "is_expired"):
            with pytest.raises(AttributeError):
                setattr(dat, name, None)
            with pytest.raises(AttributeError):
                delattr(dat, name)
        assert parsed(exp=-5, iat=-10, nbf=-10).expires_at == -5

    def test_docs_and_signatures(self):
        assert DAT.__doc__ == (
            "A Delegation Attestation Token \u2014 signed, scoped, time-bounded permission grant.\n"
            "\n"
            "Issue with DAT.issue(), verify with dat.verify(), parse with DAT.from_compact()."
        )
        assert DAT.__text_signature__ is None
        assert DAT.issue.__text_signature__ == (
            "(issuer_did, subject_did, scope, expires_in_seconds, signing_key, max_actions=None, "
            "require_receipt=None, max_delegation_depth=None, min_trust_level=None)"
        )
        assert DAT.issue.__doc__ == (
            "Issue a new DAT.\n"
            "\n"
            "Args:\n"
            "    issuer_did: DID of the delegator\n"
            "    subject_did: DID of the agent receiving delegation\n"
            '    scope: List of scope strings, e.g. ["mcp:tool:read"]\n'
            "    expires_in_seconds: TTL in seconds\n"
            "    signing_key: Issuer's KeyPair\n"
            "    max_actions: Optional lifetime action cap\n"
            "    require_receipt: Whether receipts are required per action\n"
            "    max_delegation_depth: Max re-delegation depth (0 = no re-delegation)\n"
            "    min_trust_level: Minimum agent trust level (0-100)"
        )
        assert DAT.to_compact.__text_signature__ == "($self)"
        assert DAT.to_compact.__doc__ == "Serialize to compact JWS format."
        assert DAT.from_compact.__text_signature__ == "(compact)"
        assert DAT.from_compact.__doc__ == "Parse from compact JWS string."
        assert DAT.verify.__text_signature__ == (
            '($self, public_key_bytes, required_scope="", ctx=None)'
        )
        assert DAT.verify.__doc__ == (
            "Full verification pipeline: sig + timing + scope + all constraints.\n"
            "\n"
            "Args:\n"
            "    public_key_bytes: 32-byte Ed25519 public key of the issuer\n"
            '    required_scope: Scope string to check (e.g. "mcp:tool:read"), or "" to skip\n'
            "    ctx: EvaluationContext with runtime values (optional, defaults to empty context)\n"
            "\n"
            "Raises ValueError on any verification failure."
        )
        assert DAT.verify_signature.__text_signature__ == "($self, public_key_bytes)"
        assert DAT.verify_signature.__doc__ == "Verify signature only (no scope/constraint checks)."
        assert DAT.validate_timing.__text_signature__ == "($self)"
        assert DAT.validate_timing.__doc__ is None
