import json
import sys
import time
from datetime import datetime, timezone

import pytest

from quorvex import DAT, EvaluationContext, KeyPair, Scope
from tokens import HEADER, b64u, b64u_decode, claims, compact_json, segments, signed

KEY = KeyPair.from_secret_bytes(bytes(range(32)))
PK = KEY.public_key_bytes
OTHER = KeyPair.from_secret_bytes(bytes(range(1, 33)))

ISS = "did:aid:test:issuer"
SUB = "did:aid:test:agent"
SCOPE = "mcp:tool:filesystem:read"
ULID_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"

# Expiry instants must fall in the years -262143 to 262142.
MIN_EXPIRY = -8334601315200
MAX_EXPIRY = 8210266876799

SCOPE_ERROR = (
    "ScopeNotPermittedError: scope not permitted: scope must have 4 parts "
    "(namespace:protocol:resource:action), got: "
)
EXPIRED = "DatExpiredError: DAT expired. Fix: Issue a new DAT with a later expiration."
NOT_YET_VALID = (
    "DatNotYetValidError: DAT not yet valid. Fix: Check system clock or wait until the nbf time."
)
FIX_KEY = ". Fix: Ensure the correct public key is used."


def issue(scope=("mcp:tool:*:read",), expires_in_seconds=3600, **kwargs):
    return DAT.issue(ISS, SUB, list(scope), expires_in_seconds, KEY, **kwargs)


def parsed(key=KEY, header=HEADER, **members):
    return DAT.from_compact(signed(header, claims(**members), key))


def context(**fields):
    ctx = EvaluationContext()
    for name, value in fields.items():
        setattr(ctx, name, value)
    return ctx


def verdict(dat, ctx=None, scope=SCOPE):
    """'ok', or the message of the ValueError raised by verify."""
    try:
        dat.verify(PK, scope, ctx)
    except ValueError as e:
        return str(e)
    return "ok"


def rate(max_actions, window_secs):
    return {"rateLimit": {"max_actions": max_actions, "window_secs": window_secs}}


def windows(*spans):
    """timeWindows from (start, end) or (start, end, days) tuples."""
    out = []
    for span in spans:
        w = {"start_hour": span[0], "end_hour": span[1]}
        if len(span) > 2:
            w["days_of_week"] = span[2]
        out.append(w)
    return {"timeWindows": out}


def ulid_millis(text):
    value = 0
    for ch in text[:10]:
        value = value * 32 + ULID_ALPHABET.index(ch)
    return value


class TestScope:
    @pytest.mark.parametrize(
        "text", ["mcp:tool:*:read", ":::", "a:b:c:", "*:*:*:*", "n s:é:ü/x:read*", "a:b:c:\u0000"]
    )
    def test_text_forms(self, text):
        scope = Scope(text)
        assert str(scope) == text
        assert repr(scope) == "Scope('" + text + "')"

    def test_repr_does_not_escape(self):
        assert repr(Scope("it's:a:\n:b")) == "Scope('it's:a:\n:b')"

    @pytest.mark.parametrize("text", ["a:b", "", "a:b:c", "a:b:c:d:e", "a:b:c:d:", "a::b:c:d:e:f"])
    def test_parse_failure(self, text):
        with pytest.raises(ValueError) as e:
            Scope(text)
        assert str(e.value) == SCOPE_ERROR + text
        assert e.value.args == (SCOPE_ERROR + text,)

    @pytest.mark.parametrize(
        "granted,requested,result",
        [
            ("mcp:tool:*:read", "mcp:tool:fs:read", True),
            ("mcp:tool:fs:read", "mcp:tool:*:read", False),
            ("*:*:*:*", "a:b:c:d", True),
            ("*:*:*:*", ":::", True),
            ("a:b:c:d", "a:b:c:d", True),
            ("a:b:*:d", "a:b:*:d", True),
            ("a:b:c:d", "A:b:c:d", False),
            ("a:b:files:d", "a:b:files/tmp:d", False),
            ("a:b:c:read", "a:b:c:read-write", False),
            ("a:b:c:read*", "a:b:c:readme", False),
            ("a:b:**:d", "a:b:x:d", False),
            ("a:*:c:d", "a:x:c:e", False),
            (":::", ":::", True),
            ("a:b:c:d", "a:b:c:d\x00", False),
            ("a:b:c:d\x00", "a:b:c:d", False),
        ],
    )
    def test_covers(self, granted, requested, result):
        assert Scope(granted).covers(Scope(requested)) is result

    def test_covers_takes_a_scope(self):
        scope = Scope("mcp:tool:*:read")
        assert scope.covers(requested=Scope("mcp:tool:x:read")) is True
        with pytest.raises(TypeError) as e:
            scope.covers("mcp:tool:fs:read")
        assert str(e.value) == "argument 'requested': 'str' object cannot be converted to 'Scope'"
        with pytest.raises(TypeError) as e:
            scope.covers()
        assert str(e.value) == "Scope.covers() missing 1 required positional argument: 'requested'"

    def test_constructor_arguments(self):
        assert str(Scope(scope_str="a:b:c:d")) == "a:b:c:d"
        with pytest.raises(TypeError) as e:
            Scope(5)
        assert str(e.value) == (
            "argument 'scope_str': 'int' object cannot be converted to 'PyString'"
        )
        with pytest.raises(TypeError) as e:
            Scope()
        assert str(e.value) == "Scope.__new__() missing 1 required positional argument: 'scope_str'"

    def test_docs_and_attributes(self):
        assert Scope.__doc__ is None
        # Python 3.9 drops a class's text signature when it builds a type from a spec.
        if sys.version_info >= (3, 10):
            assert Scope.__text_signature__ == "(scope_str)"
        assert Scope.covers.__text_signature__ == "($self, requested)"
        assert Scope.covers.__doc__ is None
        scope = Scope("a:b:c:d")
        for part in ("namespace", "protocol", "resource", "action"):
            assert not hasattr(scope, part)


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

    # ---- compact form ---------------------------------------------------------

    def test_round_trip(self):
        dat = issue(max_actions=3)
        text = dat.to_compact()
        assert text.count(".") == 2
        assert len(b64u_decode(text.split(".")[2])) == 64
        again = DAT.from_compact(text)
        assert again.to_compact() == text
        for name in ("issuer", "subject", "jti", "scope", "expires_at"):
            assert getattr(again, name) == getattr(dat, name)
        assert again.verify_signature(PK) is True
        assert again.verify_signature(OTHER.public_key_bytes) is False
        assert DAT.from_compact(compact=text).jti == dat.jti

    def test_every_member_round_trips(self):
        constraints = {
            "maxActions": 2**64 - 1,
            "allowedServers": ["s1", ""],
            "requireReceipt": False,
            "rateLimit": {"max_actions": 10, "window_secs": 3600},
            "ipAllowlist": ["10.0.0.0/8", "::1"],
            "ipDenylist": [],
            "minTrustLevel": 255,
            "maxDelegationDepth": 2**32 - 1,
            "allowedCountries": ["DE", "fr"],
            "timeWindows": [{"start_hour": 9, "end_hour": 17, "days_of_week": [0, 6]},
                            {"start_hour": 22, "end_hour": 6}],
            "requiredConfigHash": "cfg",
        }
        body = claims(iat=-(2**63), exp=2**63 - 1, nbf=-(2**63), constraints=constraints,
                      configAttestation="att", delegationChain=["x", "y"])
        text = signed(HEADER, body, KEY)
        dat = DAT.from_compact(text)
        assert dat.to_compact() == text
        assert (dat.expires_at, dat.is_expired) == (2**63 - 1, False)
        assert dat.validate_timing() is None
        # Any member order comes back in declaration order.
        shuffled = dict(reversed(list(body.items())))
        shuffled["constraints"] = dict(reversed(list(constraints.items())))
        assert DAT.from_compact(signed(HEADER, shuffled, KEY)).to_compact().split(".")[:2] == (
            text.split(".")[:2]
        )

    @pytest.mark.parametrize("text", ["a.b", "a.b.c.d", "", "abc", "a..b.c", "...."])
    def test_not_three_parts(self, text):
        with pytest.raises(ValueError) as e:
            DAT.from_compact(text)
        assert str(e.value) == "InvalidDatError: invalid DAT: compact JWS must have 3 parts"

    def test_empty_segments_fail_in_json(self):
        with pytest.raises(RuntimeError) as e:
            DAT.from_compact("..")
        assert str(e.value).startswith("QuorvexError: serialization error: ")

    def test_segment_decode_errors(self):
        h, c, s = issue().to_compact().split(".")
        cases = [
            (h + "=." + c + "." + s, "header decode: Invalid padding"),
            (h + ".+" + c + "." + s, "claims decode: Invalid symbol 43, offset 0."),
            (h + "." + c + "/." + s, "claims decode: Invalid symbol 47, offset %d." % len(c)),
            (h + "." + c + "." + s + "\n", "signature decode: Invalid symbol 10, offset 86."),
            (h + "." + c + "." + s[:-1] + "B",
             "signature decode: Invalid last symbol 66, offset 85."),
            (h + "." + c + "." + s[:-1], "signature decode: Invalid input length: 85"),
            # All three segments are decoded before any JSON is read.
            (b64u("{}") + ".A." + s, "claims decode: Invalid input length: 1"),
            (b64u("[") + "." + b64u("]") + ".A", "signature decode: Invalid input length: 1"),
            # The algorithm is checked before the claims JSON.
            (b64u('{"alg":"none","typ":"","kid":""}') + "." + b64u("[") + ".",
             "unsupported algorithm 'none': only 'EdDSA' is permitted"),
        ]
        for text, detail in cases:
            with pytest.raises(ValueError) as e:
                DAT.from_compact(text)
            assert str(e.value) == "InvalidDatError: invalid DAT: " + detail

    @pytest.mark.parametrize("alg", ["none", "eddsa", "ES256", "EdDSA "])
    def test_only_eddsa(self, alg):
        header = compact_json({"alg": alg, "typ": "quorvex-dat+jwt", "kid": "k"})
        text = signed(header, claims(), KEY)
        with pytest.raises(ValueError) as e:
            DAT.from_compact(text)
        assert str(e.value) == (
            "InvalidDatError: invalid DAT: "
            f"unsupported algorithm '{alg}': only 'EdDSA' is permitted"
        )
        # The signature segment is decoded before the algorithm is looked at.
        with pytest.raises(ValueError) as e:
            DAT.from_compact(text + "=")
        assert str(e.value) == "InvalidDatError: invalid DAT: signature decode: Invalid padding"

    @pytest.mark.parametrize(
        "header,claims_json,pattern",
        [
            (
                '{"alg":"EdDSA","typ":"t","kid":"k","x":1}',
                None,
                r"unknown field `x`, expected one of `alg`, `typ`, `kid`",
            ),
            ('{"alg":"EdDSA","typ":"t"}', None, r"missing field `kid`"),
            ('{"alg":"EdDSA","alg":"EdDSA","typ":"t","kid":"k"}', None, r"duplicate field `alg`"),
            ('["EdDSA","t"]', None, r"invalid length 2, expected struct DatHeader with 3 elements"),
            (HEADER, '{"iss":"i","sub":"s","iat":0,"exp":0,"nbf":0,"scope":[]}',
             r"missing field `jti`"),
            (HEADER, '["i","s",0,0,0,"j",[]]',
             r"invalid length 7, expected struct DatClaims with 10 elements"),
            (HEADER, compact_json(claims(iat=1.5)),
             r"invalid type: floating point `1.5`, expected i64"),
            (HEADER, compact_json(claims(constraints={"minTrustLevel": 256})),
             r"invalid value: integer `256`, expected u8"),
            (HEADER, compact_json(claims(scope="a:b:c:d")), r"invalid type: .*"),
            (HEADER, '{"iss":"\xff"}', r".*ill-formed UTF-8.*"),
        ],
    )
    def test_json_errors(self, header, claims_json, pattern):
        body = claims_json if claims_json is not None else compact_json(claims())
        if isinstance(body, str) and "\xff" in body:
            body = body.encode("latin-1")
        full = r"^QuorvexError: serialization error: " + pattern + r" at line \d+ column \d+$"
        with pytest.raises(RuntimeError, match=full):
            DAT.from_compact(signed(header, body, KEY))

    def test_array_forms_and_nulls(self):
        now = int(time.time())
        body = f'["i","s",{now},{now + 60},{now},"j",["a:b:c:d"],null,null,null]'
        text = signed('["EdDSA","t","k"]', body, KEY)
        dat = DAT.from_compact(text)
        assert (dat.issuer, dat.subject, dat.jti, dat.scope) == ("i", "s", "j", ["a:b:c:d"])
        dat.verify(PK, "a:b:c:d")
        assert parsed(scope=["a:b:c:d"], constraints=None).verify(PK, "a:b:c:d") is None
        nulls = dict(claims(scope=["a:b:c:d"]), constraints=None, configAttestation=None)
        DAT.from_compact(signed(HEADER, compact_json(nulls), KEY)).verify(PK, "a:b:c:d")

    def test_extra_claim_accepted_and_dropped(self):
        body = claims(extra={"nested": [1, 2, {"x": None}]}, configAttestation="cfg")
        dat = DAT.from_compact(signed(HEADER, body, KEY))
        assert dat.verify_signature(PK) is True
        reencoded = segments(dat.to_compact())[1]
        assert '"extra"' not in reencoded
        assert reencoded == compact_json(
            {k: body[k]
             for k in ("iss", "sub", "iat", "exp", "nbf", "jti", "scope", "configAttestation")}
        )

    def test_reformatted_token_keeps_its_signature(self):
        header = '{ "typ" : "quorvex-dat+jwt",\n "kid": "k", "alg": "EdDSA" }'
        body = claims()
        body_text = json.dumps(dict(reversed(list(body.items()))), indent=2)
        text = signed(header, body_text, KEY)
        dat = DAT.from_compact(text)
        assert dat.verify_signature(PK) is True
        dat.verify(PK, SCOPE)
        rewritten = dat.to_compact()
        assert rewritten != text
        assert rewritten.split(".")[2] == text.split(".")[2]
        assert segments(rewritten)[0] == '{"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"k"}'
        again = DAT.from_compact(rewritten)
        assert again.verify_signature(PK) is False
        with pytest.raises(ValueError) as e:
            again.verify(PK, SCOPE)
        assert str(e.value) == (
            "VerificationFailedError: signature verification failed: "
            "signature error: Verification equation was not satisfied" + FIX_KEY
        )

    @pytest.mark.parametrize("length", [0, 63, 65])
    def test_signature_of_wrong_length(self, length):
        h, c, _ = issue().to_compact().split(".")
        dat = DAT.from_compact(f"{h}.{c}.{b64u(bytes(length))}")
        assert dat.verify_signature(PK) is False
        assert len(b64u_decode(dat.to_compact().split(".")[2])) == length
        with pytest.raises(ValueError) as e:
            dat.verify(PK, SCOPE)
        assert str(e.value) == (
            "VerificationFailedError: signature verification failed: "
            "invalid signature length" + FIX_KEY
        )
        # An unusable key is reported before the signature length.
        with pytest.raises(RuntimeError) as e:
            dat.verify(b"\x02" + bytes(31), SCOPE)
        assert str(e.value) == (
            "QuorvexError: invalid key material: signature error: Cannot decompress Edwards point"
        )

    def test_high_s_signature(self):
        h, c, s = issue().to_compact().split(".")
        sig = bytearray(b64u_decode(s))
        sig[63] |= 0x80
        dat = DAT.from_compact(f"{h}.{c}.{b64u(bytes(sig))}")
        assert dat.verify_signature(PK) is False
        with pytest.raises(ValueError) as e:
            dat.verify(PK, SCOPE)
        assert str(e.value) == (
            "VerificationFailedError: signature verification failed: "
            "signature error: Cannot use scalar with high-bit set" + FIX_KEY
        )

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

    # ---- verify: constraints ----------------------------------------------------------

    @pytest.mark.parametrize(
        "constraints,fields,result",
        [
            # rate_limit (which counter actions_in_window feeds: the core's verify table)
            (rate(5, 86400), {"actions_in_window": 5},
             'RateLimitExceeded { limit_type: "daily", limit: 5, current: 5 }'),
            # maxActions, requireReceipt and allowedServers are not enforced.
            ({"maxActions": 1, "requireReceipt": True, "allowedServers": []},
             {"actions_in_window": 50}, "ok"),
            # ip_constraint
            ({"ipDenylist": ["10.0.0.0/8"]}, {"request_ip": "10.1.2.3"},
             'IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["10.0.0.0/8"]}, {}, "ok"),
            ({"ipAllowlist": ["192.168.1.5"]}, {}, "ok"),
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": "10.1.2.3"},
             'IpBlocked { ip: "10.1.2.3", reason: "IP not in allowed list" }'),
            ({"ipAllowlist": ["192.168.1.5", "10.0.0.0/8"]}, {"request_ip": "10.1.2.3"}, "ok"),
            # an allow list whose only entries are unusable admits no address
            ({"ipAllowlist": ["10.0.0.0/33"]}, {"request_ip": "10.1.2.3"},
             'IpBlocked { ip: "10.1.2.3", reason: "IP not in allowed list" }'),
            ({"ipAllowlist": []}, {"request_ip": "10.1.2.3"}, "ok"),
            ({"ipAllowlist": ["10.0.0.0/8"], "ipDenylist": ["10.1.2.3"]},
             {"request_ip": "10.1.2.3"},
             'IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["10.255.255.255/8"]}, {"request_ip": "10.1.2.3"},
             'IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["10.1.2.3/33"]}, {"request_ip": "10.1.2.3"}, "ok"),
            ({"ipDenylist": ["2001:db8::/32"]}, {"request_ip": "2001:DB8:0:0:0:0:0:1"},
             'IpBlocked { ip: "2001:db8::1", reason: "IP in denied list" }'),
            ({"ipDenylist": ["::/0"]}, {"request_ip": "2001:db8:0:0:1:0:0:1"},
             'IpBlocked { ip: "2001:db8::1:0:0:1", reason: "IP in denied list" }'),
            ({"ipDenylist": ["::ffff:0:0/96"]}, {"request_ip": "::ffff:10.1.2.3"},
             'IpBlocked { ip: "::ffff:10.1.2.3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["10.0.0.0/8"]}, {"request_ip": "::ffff:10.1.2.3"},
             'IpBlocked { ip: "::ffff:10.1.2.3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["0.0.0.0/0"]}, {"request_ip": "::1"}, "ok"),
            ({"ipAllowlist": ["::1"]}, {"request_ip": "127.0.0.1"},
             'IpBlocked { ip: "127.0.0.1", reason: "IP not in allowed list" }'),
            # request_ip texts that are not addresses are blocked by a usable list
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": "not-an-ip"},
             'IpBlocked { ip: "not-an-ip", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": "10.1.2.3/8"},
             'IpBlocked { ip: "10.1.2.3/8", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": "[::1]"},
             'IpBlocked { ip: "[::1]", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": "fe80::1%eth0"},
             'IpBlocked { ip: "fe80::1%eth0", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": " 10.1.2.3"},
             'IpBlocked { ip: " 10.1.2.3", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["192.168.1.5"]}, {"request_ip": ""},
             'IpBlocked { ip: "", reason: "IP not parseable" }'),
            ({"ipDenylist": ["0.0.0.0/0"]}, {"request_ip": "127.1"},
             'IpBlocked { ip: "127.1", reason: "IP not parseable" }'),
            ({"ipDenylist": ["0.0.0.0/0"]}, {"request_ip": "0x7f.0.0.1"},
             'IpBlocked { ip: "0x7f.0.0.1", reason: "IP not parseable" }'),
            ({"ipDenylist": ["10.0.0.0/8"]}, {"request_ip": "10.1.2.3\x00x"},
             'IpBlocked { ip: "10.1.2.3\\u{0}x", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["10.0.0.0/8"]}, {"request_ip": "192.168.0.1\x00"},
             'IpBlocked { ip: "192.168.0.1\\u{0}", reason: "IP not parseable" }'),
            ({"ipAllowlist": ["not-an-ip"]}, {"request_ip": "not-an-ip"},
             'IpBlocked { ip: "not-an-ip", reason: "IP not parseable" }'),
            ({"ipDenylist": ["10.1.2.3\x00x", "10.0.0.0/8\x00", "10.0.0.0/", "10.0.0.0/+8"]},
             {"request_ip": "10.1.2.3"}, "ok"),
            ({"ipDenylist": ["::/0"]}, {"request_ip": "::FFFF:10.1.2.3"},
             'IpBlocked { ip: "::ffff:10.1.2.3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["::/0"]}, {"request_ip": "::10.1.2.3"},
             'IpBlocked { ip: "::a01:203", reason: "IP in denied list" }'),
            ({"ipDenylist": ["::/0"]}, {"request_ip": "1:0:0:2:0:0:0:3"},
             'IpBlocked { ip: "1:0:0:2::3", reason: "IP in denied list" }'),
            ({"ipDenylist": ["::/0"]}, {"request_ip": "2001:db8:0:1:1:1:1:1"},
             'IpBlocked { ip: "2001:db8:0:1:1:1:1:1", reason: "IP in denied list" }'),
            ({"ipDenylist": ["::/0"]}, {"request_ip": "0:0:0:0:0:0:0:0"},
             'IpBlocked { ip: "::", reason: "IP in denied list" }'),
            # trust_level
            ({"minTrustLevel": 2}, {}, 'InsufficientTrustLevel { required: "L2", actual: "none" }'),
            ({"minTrustLevel": 0}, {}, 'InsufficientTrustLevel { required: "L0", actual: "none" }'),
            ({"minTrustLevel": 2}, {"agent_trust_level": 1},
             'InsufficientTrustLevel { required: "L2", actual: "L1" }'),
            ({"minTrustLevel": 2}, {"agent_trust_level": 2}, "ok"),
            ({"minTrustLevel": 0}, {"agent_trust_level": 0}, "ok"),
            ({"minTrustLevel": 4}, {"agent_trust_level": 75}, "ok"),
            ({"minTrustLevel": 4}, {"agent_trust_level": 255}, "ok"),
            ({"minTrustLevel": 4}, {"agent_trust_level": 3},
             'InsufficientTrustLevel { required: "L4", actual: "L3" }'),
            # A minimum above 4 requires L4.
            ({"minTrustLevel": 75}, {},
             'InsufficientTrustLevel { required: "L4", actual: "none" }'),
            ({"minTrustLevel": 75}, {"agent_trust_level": 2},
             'InsufficientTrustLevel { required: "L4", actual: "L2" }'),
            ({"minTrustLevel": 75}, {"agent_trust_level": 80}, "ok"),
            # delegation_depth
            ({"maxDelegationDepth": 1}, {"delegation_depth": 1}, "ok"),
            ({"maxDelegationDepth": 1}, {"delegation_depth": 2},
             "DelegationDepthExceeded { max_depth: 1, actual_depth: 2 }"),
            ({"maxDelegationDepth": 0}, {}, "ok"),
            ({"maxDelegationDepth": 0}, {"delegation_depth": 2**32 - 1},
             "DelegationDepthExceeded { max_depth: 0, actual_depth: 4294967295 }"),
            # geofence
            ({"allowedCountries": ["us", "CA"]}, {"country_code": "US"}, "ok"),
            ({"allowedCountries": ["us", "CA"]}, {"country_code": "ca"}, "ok"),
            ({"allowedCountries": ["us", "CA"]}, {"country_code": "fr"},
             'GeofenceViolation { country: "fr", allowed: ["us", "CA"] }'),
            ({"allowedCountries": ["us", "CA"]}, {},
             'GeofenceViolation { country: "unknown", allowed: ["us", "CA"] }'),
            ({"allowedCountries": ["us"]}, {"country_code": "US "},
             'GeofenceViolation { country: "US ", allowed: ["us"] }'),
            ({"allowedCountries": []}, {}, "ok"),
            ({"allowedCountries": ["\u00c9"]}, {"country_code": "\u00e9"}, "ok"),
            ({"allowedCountries": ["SS"]}, {"country_code": "\u00df"}, "ok"),
            ({"allowedCountries": ["FF"]}, {"country_code": "\ufb00"}, "ok"),
            ({"allowedCountries": ["I"]}, {"country_code": "\u0131"}, "ok"),
            ({"allowedCountries": ["\u1e9e"]}, {"country_code": "\u00df"},
             'GeofenceViolation { country: "\u00df", allowed: ["\u1e9e"] }'),
            ({"allowedCountries": ["de"]}, {"country_code": "de\x00"},
             'GeofenceViolation { country: "de\\u{0}", allowed: ["de"] }'),
            ({"allowedCountries": ["a\"b\\c\nd\te\rf\x00g\x1bh\x7fi'\u00e9"]},
             {"country_code": 'x"y'},
             'GeofenceViolation { country: "x\\"y", allowed: '
             '["a\\"b\\\\c\\nd\\te\\rf\\u{0}g\\u{1b}h\\u{7f}i\'\u00e9"] }'),
            # time_window, independent of the clock
            (windows(), {}, "ok"),
            (windows((0, 23)), {}, "ok"),
            (windows((0, 23, [])), {}, "OutsideTimeWindow"),
            (windows((0, 23, [0, 1, 2, 3, 4, 5, 6])), {}, "ok"),
            (windows((0, 23, [7, 8, 255])), {}, "OutsideTimeWindow"),
            (windows((0, 30)), {}, "ok"),
            (windows((24, 24)), {}, "OutsideTimeWindow"),
            (windows((5, 4)), {}, "ok"),
            (windows((24, 24), (0, 23)), {}, "ok"),
            # config_attestation
            ({"requiredConfigHash": "ABC"}, {},
             'ConfigAttestationMismatch { expected: "ABC", actual: None }'),
            ({"requiredConfigHash": "ABC"}, {"agent_config_hash": "abc"},
             'ConfigAttestationMismatch { expected: "ABC", actual: Some("abc") }'),
            ({"requiredConfigHash": "ABC"}, {"agent_config_hash": "ABC"}, "ok"),
            ({"requiredConfigHash": ""}, {"agent_config_hash": ""}, "ok"),
            ({"requiredConfigHash": "a\x00b"}, {"agent_config_hash": "a\x00c"},
             'ConfigAttestationMismatch { expected: "a\\u{0}b", actual: Some("a\\u{0}c") }'),
            ({"requiredConfigHash": "a\"b"}, {"agent_config_hash": "\n"},
             'ConfigAttestationMismatch { expected: "a\\"b", actual: Some("\\n") }'),
        ],
    )
    def test_constraint(self, constraints, fields, result):
        dat = parsed(scope=[SCOPE], constraints=constraints)
        assert verdict(dat, context(**fields)) == result

    def test_no_constraints_ignore_the_context(self):
        ctx = context(request_ip="10.1.2.3", delegation_depth=99, actions_in_window=10**6)
        assert verdict(issue(), ctx) == "ok"
        assert verdict(parsed(scope=[SCOPE], constraints={}), ctx) == "ok"

    def test_first_failing_evaluator_wins(self):
        constraints = {
            "rateLimit": {"max_actions": 1, "window_secs": 60},
            "ipDenylist": ["10.0.0.0/8"],
            "minTrustLevel": 3,
            "maxDelegationDepth": 0,
            "allowedCountries": ["DE"],
            **windows((24, 24)),
            "requiredConfigHash": "h",
        }
        dat = parsed(scope=[SCOPE], constraints=constraints)
        ctx = context(actions_in_window=1, request_ip="10.0.0.1", delegation_depth=1)
        steps = [
            ('RateLimitExceeded { limit_type: "hourly", limit: 1, current: 1 }',
             "actions_in_window", 0),
            ('IpBlocked { ip: "10.0.0.1", reason: "IP in denied list" }',
             "request_ip", "192.0.2.1"),
            ('InsufficientTrustLevel { required: "L3", actual: "none" }', "agent_trust_level", 3),
            ("DelegationDepthExceeded { max_depth: 0, actual_depth: 1 }", "delegation_depth", 0),
            ('GeofenceViolation { country: "unknown", allowed: ["DE"] }', "country_code", "de"),
        ]
        for message, field, fix in steps:
            assert verdict(dat, ctx) == message
            setattr(ctx, field, fix)
        assert verdict(dat, ctx) == "OutsideTimeWindow"
        open_hours = dict(constraints, **windows((0, 23)))
        dat = parsed(scope=[SCOPE], constraints=open_hours)
        assert verdict(dat, ctx) == 'ConfigAttestationMismatch { expected: "h", actual: None }'
        ctx.agent_config_hash = "h"
        assert verdict(dat, ctx) == "ok"
        # Timing and scope come before every constraint.
        assert verdict(dat, context(actions_in_window=5), scope="x:y:z:w") == "ScopeNotCovered"
        late = parsed(scope=[SCOPE], constraints=constraints, exp=int(time.time()) - 5)
        assert verdict(late, context(actions_in_window=5)) == "Expired"

    def test_time_window_against_the_clock(self):
        for _ in range(3):
            now = datetime.now(timezone.utc)
            hour, day = now.hour, now.weekday()
            other_days = [d for d in range(8) if d != day]
            cases = [
                (windows((hour, hour)), "ok"),
                # Wraps midnight except at hours 0 and 23; misses only the current hour.
                (windows(((hour + 1) % 24, (hour - 1) % 24)), "OutsideTimeWindow"),
                (windows(((hour + 2) % 24, hour)), "ok"),
                (windows((0, 23, [day])), "ok"),
                (windows((0, 23, other_days)), "OutsideTimeWindow"),
                (windows((24, 24), (hour, hour, [day])), "ok"),
            ]
            got = [verdict(parsed(scope=[SCOPE], constraints=w)) for w, _ in cases]
            later = datetime.now(timezone.utc)
            if (later.hour, later.weekday()) == (hour, day):
                assert got == [expected for _, expected in cases]
                return
        pytest.fail("clock kept crossing hour boundaries")

    def test_context_is_read_not_changed(self):
        dat = issue(min_trust_level=2, max_delegation_depth=3)
        ctx = context(
            request_ip="10.0.0.7", country_code="DE", delegation_depth=3,
            actions_in_window=9, agent_config_hash="h", agent_trust_level=1,
        )
        before = repr(ctx), ctx.actions_in_window, ctx.agent_config_hash
        for _ in range(2):
            assert verdict(dat, ctx, "mcp:tool:x:read") == (
                'InsufficientTrustLevel { required: "L2", actual: "L1" }'
            )
        assert (repr(ctx), ctx.actions_in_window, ctx.agent_config_hash) == before
        ctx.agent_trust_level = 2
        assert verdict(dat, ctx, "mcp:tool:x:read") == "ok"
        assert verdict(issue(min_trust_level=2), ctx, "mcp:tool:x:read") == "ok"

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


class TestEvaluationContext:
    FIELDS = {
        "request_ip": ("Request IP address string (IPv4 or IPv6).", None),
        "country_code": ("ISO 3166-1 alpha-2 country code.", None),
        "delegation_depth": ("Delegation chain depth (0 = root token).", 0),
        "actions_in_window": ("Actions taken in the current rate-limit window.", 0),
        "agent_config_hash": ("SHA-256 hex hash of the agent's current configuration.", None),
        "agent_trust_level": ("Agent trust level (0\u2013100).", None),
    }

    @pytest.mark.parametrize("name", list(FIELDS))
    def test_initial_values_and_docstrings(self, name):
        doc, initial = self.FIELDS[name]
        assert getattr(EvaluationContext(), name) == initial
        assert getattr(EvaluationContext, name).__doc__ == doc

    def test_repr(self):
        ctx = EvaluationContext()
        assert repr(ctx) == "EvaluationContext(ip=None, trust=None, depth=0, country=None)"
        ctx.request_ip = "10.0.0.7"
        ctx.agent_trust_level = 75
        ctx.delegation_depth = 3
        ctx.country_code = "DE"
        ctx.actions_in_window = 8
        ctx.agent_config_hash = "h"
        assert repr(ctx) == (
            'EvaluationContext(ip=Some("10.0.0.7"), trust=Some(75), depth=3, country=Some("DE"))'
        )
        ctx.request_ip = 'a"b\nc'
        ctx.country_code = "\\\t\r\x00\x7f'\u00e9"
        ctx.agent_trust_level = 0
        assert repr(ctx) == (
            'EvaluationContext(ip=Some("a\\"b\\nc"), trust=Some(0), depth=3, '
            "country=Some(\"\\\\\\t\\r\\u{0}\\u{7f}'\u00e9\"))"
        )

    @pytest.mark.parametrize(
        "name,value",
        [
            ("request_ip", "not an address"),
            ("request_ip", ""),
            ("country_code", "Deutschland \u00fc"),
            ("agent_config_hash", "ABC\x00"),
            ("delegation_depth", 2**32 - 1),
            ("actions_in_window", 2**64 - 1),
            ("agent_trust_level", 0),
            ("agent_trust_level", 255),
        ],
    )
    def test_values_stored_as_given(self, name, value):
        ctx = EvaluationContext()
        setattr(ctx, name, value)
        assert getattr(ctx, name) == value

    @pytest.mark.parametrize(
        "name", ["request_ip", "country_code", "agent_config_hash", "agent_trust_level"]
    )
    def test_none_clears_optional(self, name):
        ctx = EvaluationContext()
        setattr(ctx, name, 1 if name == "agent_trust_level" else "x")
        setattr(ctx, name, None)
        assert getattr(ctx, name) is None

    @pytest.mark.parametrize("name", ["delegation_depth", "actions_in_window"])
    def test_none_not_accepted_for_counts(self, name):
        ctx = EvaluationContext()
        setattr(ctx, name, 4)
        with pytest.raises(TypeError) as e:
            setattr(ctx, name, None)
        assert str(e.value) == "'NoneType' object cannot be interpreted as an integer"
        assert getattr(ctx, name) == 4

    @pytest.mark.parametrize(
        "name,value",
        [
            ("delegation_depth", -1),
            ("delegation_depth", 2**32),
            ("actions_in_window", -1),
            ("actions_in_window", 2**64),
            ("agent_trust_level", -1),
            ("agent_trust_level", 256),
        ],
    )
    def test_out_of_range(self, name, value):
        ctx = EvaluationContext()
        with pytest.raises(OverflowError):
            setattr(ctx, name, value)
        assert getattr(ctx, name) == self.FIELDS[name][1]

    @pytest.mark.parametrize(
        "name,value,message",
        [
            ("request_ip", 10, "'int' object cannot be converted to 'PyString'"),
            ("country_code", b"DE", "'bytes' object cannot be converted to 'PyString'"),
            ("agent_config_hash", ["h"], "'list' object cannot be converted to 'PyString'"),
            ("delegation_depth", 1.0, "'float' object cannot be interpreted as an integer"),
            ("actions_in_window", "3", "'str' object cannot be interpreted as an integer"),
            ("agent_trust_level", "L2", "'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_wrong_types(self, name, value, message):
        ctx = EvaluationContext()
        with pytest.raises(TypeError) as e:
            setattr(ctx, name, value)
        assert str(e.value) == message

    def test_index_objects(self):
        class Five:
            def __index__(self):
                return 5

        ctx = EvaluationContext()
        for name in ("delegation_depth", "actions_in_window", "agent_trust_level"):
            setattr(ctx, name, Five())
            assert getattr(ctx, name) == 5
        ctx.delegation_depth = True
        assert ctx.delegation_depth == 1 and type(ctx.delegation_depth) is int

    @pytest.mark.parametrize("name", list(FIELDS))
    def test_delete(self, name):
        ctx = EvaluationContext()
        with pytest.raises(AttributeError) as e:
            delattr(ctx, name)
        assert str(e.value) == "can't delete attribute"

    def test_reentrant_access_during_assignment(self):
        ctx = EvaluationContext()

        class Reads:
            def __index__(self):
                return ctx.delegation_depth

        class Writes:
            def __index__(self):
                ctx.actions_in_window = 7
                return 1

        class Verifies:
            def __index__(self):
                issue().verify(PK, "mcp:tool:x:read", ctx)
                return 1

        for cls, message in ((Reads, "Already mutably borrowed"), (Writes, "Already borrowed"),
                             (Verifies, "Already mutably borrowed")):
            with pytest.raises(RuntimeError) as e:
                ctx.delegation_depth = cls()
            assert str(e.value) == message
        assert repr(ctx) == "EvaluationContext(ip=None, trust=None, depth=0, country=None)"
        assert ctx.actions_in_window == 0
        ctx.delegation_depth = 2
        assert ctx.delegation_depth == 2

    def test_constructor_and_attributes(self):
        with pytest.raises(TypeError) as e:
            EvaluationContext(1)
        assert str(e.value) == (
            "EvaluationContext.__new__() takes 0 positional arguments but 1 was given"
        )
        with pytest.raises(TypeError) as e:
            EvaluationContext(request_ip="10.0.0.1")
        assert str(e.value) == (
            "EvaluationContext.__new__() got an unexpected keyword argument 'request_ip'"
        )
        with pytest.raises(AttributeError):
            EvaluationContext().hourly_count = 1

    def test_docs(self):
        assert EvaluationContext.__doc__ == (
            "Runtime context supplied to DAT.verify() for constraint evaluation.\n"
            "\n"
            "Example:\n"
            "    ctx = EvaluationContext()\n"
            '    ctx.request_ip = "10.0.0.5"\n'
            "    ctx.agent_trust_level = 75\n"
            '    ctx.country_code = "AU"\n'
            '    dat.verify(pub_key_bytes, "mcp:tool:read", ctx)'
        )
        assert EvaluationContext.__text_signature__ is None
