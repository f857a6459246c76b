"""Proofs of possession and holder-bound tokens against two JOSE libraries nobody here wrote."""

import hashlib
import json
import time

import jwt as pyjwt
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from joserfc import jws
from joserfc import jwt as jose_jwt
from joserfc.errors import SecurityWarning
from joserfc.jwk import OKPKey

from quorvex import DAT, KeyPair
from tokens import b64u

# joserfc warns that the name EdDSA is superseded; it is the only one proofs use.
pytestmark = pytest.mark.filterwarnings("ignore", category=SecurityWarning)

SEED = bytes(range(7, 39))
HOLDER = KeyPair.from_secret_bytes(SEED)
PRINCIPAL = KeyPair.generate()
ISS = "did:aid:interop:principal"
TRUSTED = {ISS: PRINCIPAL.public_key_bytes}
URL = "https://tools.example.org/call"


def token():
    return DAT.issue_constrained(ISS, "did:aid:interop:agent", ["mcp:tool:*:call"], 600, PRINCIPAL,
                                 holder_key=HOLDER.public_key_bytes)


def proof_claims(dat, method="POST", url=URL, **extra):
    claims = {"jti": b64u(hashlib.sha256(str(time.monotonic_ns()).encode()).digest()[:16]),
              "htm": method, "htu": url, "iat": int(time.time()),
              "ath": b64u(hashlib.sha256(dat.to_compact().encode()).digest())}
    claims.update(extra)
    return claims


def private_jwk():
    return OKPKey.import_key(dict(HOLDER.public_key_jwk, d=b64u(SEED)))


def joserfc_proof(dat, **kw):
    header = {"typ": "dpop+jwt", "alg": "EdDSA", "jwk": HOLDER.public_key_jwk}
    return jws.serialize_compact(header, json.dumps(proof_claims(dat, **kw)), private_jwk(),
                                 algorithms=["EdDSA"])


def pyjwt_proof(dat, **kw):
    headers = {"typ": "dpop+jwt", "jwk": HOLDER.public_key_jwk}
    return pyjwt.encode(proof_claims(dat, **kw), Ed25519PrivateKey.from_private_bytes(SEED),
                        algorithm="EdDSA", headers=headers)


@pytest.mark.parametrize("make", [joserfc_proof, pyjwt_proof])
def test_their_proofs_pass_authorize_and_still_bind_to_the_request(make):
    dat = token()
    dat.authorize(TRUSTED, "mcp:tool:x:call", proof=make(dat), method="POST", url=URL)
    with pytest.raises(ValueError) as refused:
        dat.authorize(TRUSTED, "mcp:tool:x:call", proof=make(dat, method="GET"), method="POST",
                      url=URL)
    assert refused.value.code == "ProofInvalid"


def test_our_proofs_verify_in_both_libraries_with_the_key_their_header_carries():
    dat = token()
    proof = HOLDER.prove(dat, "PUT", URL + "?q=1")
    header = jws.extract_compact(proof.encode()).protected
    key = OKPKey.import_key(header["jwk"])
    obj = jws.deserialize_compact(proof, key, algorithms=["EdDSA"])
    claims = json.loads(obj.payload)
    assert (obj.protected["typ"], claims["htm"], claims["htu"]) == ("dpop+jwt", "PUT", URL)
    decoded = pyjwt.decode(proof, pyjwt.PyJWK(header["jwk"]).key, algorithms=["EdDSA"])
    assert decoded == claims
    assert decoded["ath"] == b64u(hashlib.sha256(dat.to_compact().encode()).digest())


def test_the_bound_key_reads_as_cnf_with_their_thumbprint():
    dat = token()
    claims = jose_jwt.decode(dat.to_compact(), OKPKey.import_key(PRINCIPAL.public_key_jwk),
                             algorithms=["EdDSA"]).claims
    bound = OKPKey.import_key(claims["cnf"]["jwk"])
    assert bound.thumbprint() == HOLDER.jwk_thumbprint
    assert bound.as_dict(private=False)["x"] == b64u(dat.bound_key)
