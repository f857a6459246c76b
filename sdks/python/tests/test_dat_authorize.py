"""DAT.authorize: the issuer's key from a trusted map, the key id, the leeway, then verify."""

import time
import types

import pytest

from dat_helpers import FIX_KEY, ISS, KEY, OTHER, PK, SCOPE, issue, parsed, verdict
from quorvex import AID, AIDBuilder, EvaluationContext

TRUSTED = {ISS: PK}
OTHER_DID = "did:aid:test:other"


def refusal(dat, trusted=TRUSTED, scope=SCOPE, ctx=None, **kwargs):
    """("ok", None), or the message and code of the ValueError raised by authorize."""
    try:
        dat.authorize(trusted, scope, ctx, **kwargs)
    except ValueError as e:
        return str(e), e.code
    return "ok", None


class TestAuthorize:
    def test_accepts_with_the_issuers_key(self):
        dat = issue()
        assert dat.authorize(TRUSTED, SCOPE) is None
        many = {OTHER_DID: OTHER.public_key_bytes, ISS: PK}
        assert dat.authorize(many, SCOPE, EvaluationContext(), leeway=300) is None
        assert dat.authorize(trusted_issuers=types.MappingProxyType(many), required_scope=SCOPE,
                             ctx=None, leeway=0) is None

        class Issuers(dict):
            pass

        assert dat.authorize(Issuers(TRUSTED), SCOPE) is None

    def test_an_aid_stands_for_its_key(self):
        builder = AIDBuilder()
        builder.id("did:aid:example.com:issuer")  # the map's DID decides, not the document's
        builder.controller("did:aid:example.com:issuer")
        builder.name("issuer")
        builder.add_ed25519_key(KEY)
        document = builder.build()
        assert document.public_key_bytes == PK
        assert issue().authorize({ISS: document}, SCOPE) is None
        other = AID.from_json(document.to_json().replace(
            KEY.public_key_multibase, OTHER.public_key_multibase))
        assert refusal(issue(), {ISS: other})[1] == "VerificationFailed"
        broken = AID.from_json(document.to_json().replace(KEY.public_key_multibase, "zz"))
        with pytest.raises(ValueError) as e:
            issue().authorize({ISS: broken}, SCOPE)
        assert e.value.code == "InvalidArgument"
        assert str(e.value).startswith("publicKeyMultibase is not a public key: ")

    def test_unknown_issuer(self):
        expected = f'InvalidDatError: invalid DAT: issuer "{ISS}" is not trusted'
        for trusted in ({}, {OTHER_DID: PK}, {ISS.upper(): PK}):
            with pytest.raises(ValueError) as e:
                issue().authorize(trusted, SCOPE)
            assert str(e.value) == expected
            assert e.value.code == "UnknownIssuer"
            assert e.value.details == {"issuer": ISS}

        class Missing(dict):
            def __missing__(self, key):
                raise KeyError(key)

        assert refusal(issue(), Missing()) == (expected, "UnknownIssuer")

    def test_key_id_must_name_the_issuers_key(self):
        header = '{"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"did:aid:test:other#key-ed25519"}'
        assert refusal(parsed(header=header)) == (
            f'InvalidDatError: invalid DAT: key id "{OTHER_DID}#key-ed25519" does not name the '
            f"issuer's key \"{ISS}#key-ed25519\"", "InvalidDat")
        # Checked before the signature: a token whose kid points elsewhere says so first.
        assert refusal(parsed(header=header), {ISS: OTHER.public_key_bytes})[1] == "InvalidDat"

    def test_the_signature_is_checked_with_the_trusted_key(self):
        message, code = refusal(issue(), {ISS: OTHER.public_key_bytes})
        assert message.startswith("VerificationFailedError: ") and message.endswith(FIX_KEY)
        assert code == "VerificationFailed"
        forged = parsed(key=OTHER)
        assert refusal(forged)[1] == "VerificationFailed"

    @pytest.mark.parametrize("fill", [
        {}, {"request_ip": "10.1.2.3"}, {"delegation_depth": 5}, {"actions_in_window": 10},
        {"agent_trust_level": 0}, {"country_code": "FR"},
    ])
    def test_the_pipeline_refuses_as_verify_does(self, fill):
        dat = parsed(constraints={
            "ipDenylist": ["10.0.0.0/8"], "maxDelegationDepth": 2, "minTrustLevel": 1,
            "rateLimit": {"max_actions": 10, "window_secs": 3600}, "allowedCountries": ["DE"]})
        ctx = EvaluationContext()
        ctx.agent_trust_level = 2
        ctx.country_code = "DE"
        for name, value in fill.items():
            setattr(ctx, name, value)
        assert refusal(dat, ctx=ctx)[0] == verdict(dat, ctx)
        assert refusal(dat, scope="mcp:tool:other:write", ctx=ctx)[0] == verdict(
            dat, ctx, "mcp:tool:other:write")

    def test_leeway_widens_exp_and_nbf(self):
        now = int(time.time())
        expired = parsed(iat=now - 100, nbf=now - 100, exp=now - 10)
        early = parsed(iat=now, nbf=now + 10, exp=now + 100)
        assert refusal(expired)[1] == "Expired"
        assert refusal(early)[1] == "NotYetValid"
        assert refusal(expired, leeway=60) == ("ok", None)
        assert refusal(early, leeway=60) == ("ok", None)
        assert refusal(parsed(nbf=now - 1000, exp=now - 400), leeway=300)[1] == "Expired"

    @pytest.mark.parametrize("leeway", [-1, 301, 2**63 - 1])
    def test_leeway_range(self, leeway):
        with pytest.raises(ValueError) as e:
            issue().authorize(TRUSTED, SCOPE, leeway=leeway)
        assert str(e.value) == "leeway must be between 0 and 300 seconds"
        assert e.value.code == "InvalidArgument"

    def test_arguments(self):
        dat = issue()
        cases = [
            (lambda: dat.authorize(TRUSTED, SCOPE, None, 0),
             "DAT.authorize() takes from 2 to 3 positional arguments but 4 were given"),
            (lambda: dat.authorize(TRUSTED),
             "DAT.authorize() missing 1 required positional argument: 'required_scope'"),
            (lambda: dat.authorize([ISS], SCOPE),
             "argument 'trusted_issuers': 'list' object cannot be converted to 'Mapping'"),
            (lambda: dat.authorize(ISS, SCOPE),
             "argument 'trusted_issuers': 'str' object cannot be converted to 'Mapping'"),
            (lambda: dat.authorize({ISS: PK.hex()}, SCOPE),
             "argument 'trusted_issuers': 'str' object cannot be converted to 'PyBytes'"),
            (lambda: dat.authorize(TRUSTED, SCOPE, leeway=1.5),
             "argument 'leeway': 'float' object cannot be interpreted as an integer"),
            (lambda: dat.authorize(TRUSTED, None),
             "argument 'required_scope': 'NoneType' object cannot be converted to 'PyString'"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as e:
                call()
            assert str(e.value) == message
        with pytest.raises(ValueError) as e:
            dat.authorize({ISS: PK[:31]}, SCOPE)
        assert str(e.value) == "Public key must be exactly 32 bytes"

    def test_a_failing_mapping_is_not_hidden(self):
        class Broken(dict):
            def __getitem__(self, key):
                raise RuntimeError("lookup failed")

        with pytest.raises(RuntimeError, match="^lookup failed$"):
            issue().authorize(Broken(), SCOPE)

    def test_the_context_is_read_after_the_mapping(self):
        ctx = EvaluationContext()

        class Meddling(dict):
            def __getitem__(self, key):
                ctx.delegation_depth = 9  # the context is not borrowed yet
                return PK

        dat = issue(max_delegation_depth=1)
        assert refusal(dat, Meddling(), ctx=ctx)[1] == "DelegationDepthExceeded"
        assert KEY.public_key_bytes == PK
