import json
import time

import jwt as pyjwt
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from joserfc import jws
from joserfc import jwt as jose_jwt
from joserfc.errors import SecurityWarning
from joserfc.jwk import OKPKey

from quorvex import DAT, EvaluationContext, KeyPair
from tokens import b64u, claims, segments

# joserfc warns that the name EdDSA is superseded; it is the only one tokens use.
pytestmark = pytest.mark.filterwarnings("ignore", category=SecurityWarning)

SEED = bytes(range(100, 132))
KEY = KeyPair.from_secret_bytes(SEED)
PK = KEY.public_key_bytes
ISS = "did:aid:interop:issuer"
SUB = "did:aid:interop:agent"
HEADER = {"alg": "EdDSA", "kid": ISS + "#key-ed25519", "typ": "quorvex-dat+jwt"}


def jwk(private=False):
    members = {"kty": "OKP", "crv": "Ed25519", "x": b64u(PK)}
    if private:
        members["d"] = b64u(SEED)
    return OKPKey.import_key(members)


def sign_with_joserfc(claims_dict):
    payload = json.dumps(claims_dict)
    return jws.serialize_compact(HEADER, payload, jwk(private=True), algorithms=["EdDSA"])


def sign_with_pyjwt(claims_dict):
    headers = {"kid": HEADER["kid"], "typ": HEADER["typ"]}
    key = Ed25519PrivateKey.from_private_bytes(SEED)
    return pyjwt.encode(claims_dict, key, algorithm="EdDSA", headers=headers)


SIGNERS = [sign_with_joserfc, sign_with_pyjwt]


class TestDAT:
    def test_issued_token_reads_in_joserfc(self):
        dat = DAT.issue(ISS, SUB, ["mcp:tool:*:read"], 600, KEY, max_delegation_depth=1)
        text = dat.to_compact()
        expected = json.loads(segments(text)[1])
        obj = jws.deserialize_compact(text, jwk(), algorithms=["EdDSA"])
        assert obj.protected == {
            "alg": "EdDSA", "typ": "quorvex-dat+jwt", "kid": ISS + "#key-ed25519"
        }
        assert json.loads(obj.payload) == expected
        token = jose_jwt.decode(text, jwk(), algorithms=["EdDSA"])
        assert token.claims == expected
        assert token.claims["constraints"] == {"maxDelegationDepth": 1}
        assert (token.claims["jti"], token.claims["exp"]) == (dat.jti, dat.expires_at)
        registry = jose_jwt.JWTClaimsRegistry(exp={"essential": True}, nbf={"essential": True})
        registry.validate(token.claims)

    def test_issued_token_reads_in_pyjwt(self):
        dat = DAT.issue(ISS, SUB, ["a:b:c:d", "e:f:*:*"], 600, KEY, require_receipt=False)
        text = dat.to_compact()
        decoded = pyjwt.decode(
            text,
            Ed25519PublicKey.from_public_bytes(PK),
            algorithms=["EdDSA"],
            options={"require": ["exp", "iat", "nbf", "iss", "sub", "jti"]},
            issuer=ISS,
        )
        assert decoded == json.loads(segments(text)[1])
        assert decoded["scope"] == dat.scope and decoded["constraints"] == {"requireReceipt": False}
        assert pyjwt.get_unverified_header(text) == {
            "alg": "EdDSA", "typ": "quorvex-dat+jwt", "kid": ISS + "#key-ed25519"
        }
        other = Ed25519PublicKey.from_public_bytes(KeyPair.generate().public_key_bytes)
        with pytest.raises(pyjwt.InvalidSignatureError):
            pyjwt.decode(text, other, algorithms=["EdDSA"])

    def test_expired_token_agrees_with_pyjwt(self):
        text = DAT.issue(ISS, SUB, ["a:b:c:d"], -10, KEY).to_compact()
        with pytest.raises(pyjwt.ExpiredSignatureError):
            pyjwt.decode(text, Ed25519PublicKey.from_public_bytes(PK), algorithms=["EdDSA"])
        with pytest.raises(ValueError) as e:
            DAT.from_compact(text).verify(PK, "a:b:c:d")
        assert str(e.value) == "Expired"

    @pytest.mark.parametrize("sign", SIGNERS)
    def test_foreign_token_parses_and_verifies(self, sign):
        body = claims(iss=ISS, sub=SUB, scope=["mcp:tool:*:read"],
                      constraints={"maxDelegationDepth": 0})
        text = sign(body)
        dat = DAT.from_compact(text)
        assert (dat.issuer, dat.subject, dat.jti) == (ISS, SUB, body["jti"])
        assert dat.expires_at == body["exp"]
        assert dat.verify_signature(PK) is True
        assert dat.verify_signature(KeyPair.generate().public_key_bytes) is False
        assert dat.verify(PK, "mcp:tool:fs:read") is None
        ctx = EvaluationContext()
        ctx.delegation_depth = 1
        with pytest.raises(ValueError) as e:
            dat.verify(PK, "mcp:tool:fs:read", ctx)
        assert str(e.value) == "DelegationDepthExceeded { max_depth: 0, actual_depth: 1 }"
        # Header members in another order: the re-encoded token no longer matches its signature.
        assert DAT.from_compact(dat.to_compact()).verify_signature(PK) is False

    @pytest.mark.parametrize("sign", SIGNERS)
    def test_foreign_token_with_incomplete_claims(self, sign):
        now = int(time.time())
        text = sign({"iss": ISS, "sub": SUB, "iat": now, "exp": now + 60, "nbf": now, "scope": []})
        pattern = r"^QuorvexError: serialization error: missing field `jti` at line 1 column \d+$"
        with pytest.raises(RuntimeError, match=pattern):
            DAT.from_compact(text)
