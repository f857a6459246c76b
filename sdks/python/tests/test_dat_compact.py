"""DAT.from_compact and to_compact: segments, header and claims JSON, signatures."""

import json
import time

import pytest

from dat_helpers import FIX_KEY, KEY, OTHER, PK, SCOPE, issue, parsed
from quorvex import DAT
from tokens import HEADER, b64u, b64u_decode, claims, compact_json, segments, signed


class TestDAT:
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
