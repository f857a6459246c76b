"""Keys other tools read: the JWK, its thumbprint and did:key, checked against joserfc,
cryptography and published did:key identifiers; public_key_from's dict form; AID.public_key_bytes.
"""

import base64
import json
from collections import OrderedDict

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
from joserfc.jwk import OKPKey

from quorvex import AID, AgentIdentity, KeyPair

FORMS = ("public key must be multibase base58btc text ('z...'), a did:key ('did:key:z...'), an "
         'Ed25519 JWK ({"kty": "OKP", "crv": "Ed25519", "x": ...}) or 64 hex digits')
PRIVATE = 'a JWK with "d" is a private key, not a public key'

# From the W3C CCG did:key method's Ed25519 test vectors: the seed, the did:key of its key pair
# and that key's publicKeyBase58.
DID_KEY_VECTORS = [
    ("00" * 32, "did:key:z6MkiTBz1ymuepAQ4HEHYSF1H8quG5GLVVQR3djdX3mDooWp",
     "4zvwRjXUKGfvwnParsHAS3HuSVzV5cA4McphgmoCtajS"),
    ("00" * 31 + "01", "did:key:z6MkjchhfUsD6mmvni8mCdXHw216Xrm9bQe2mBH1P5RDjVJG",
     "6ASf5EcmmEHTgDJ4X4ZT5vT6iHVJBXPg5AN5YoTCpGWt"),
    ("00" * 31 + "02", "did:key:z6MknGc3ocHs3zdPiJbnaaqDi58NGb4pk1Sp9WxWufuXSdxf",
     "8pM1DN3RiT8vbom5u1sNryaNT1nyL8CTTW3b5PwWXRBH"),
]

SEEDS = [bytes(32), bytes(range(32)), bytes.fromhex(
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")]


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class TestJwk:
    @pytest.mark.parametrize("seed", SEEDS)
    def test_joserfc_imports_the_jwk_and_computes_the_same_thumbprint(self, seed):
        kp = KeyPair.from_secret_bytes(seed)
        jwk = kp.public_key_jwk
        assert list(jwk.items()) == [("kty", "OKP"), ("crv", "Ed25519"),
                                     ("x", b64(kp.public_key_bytes))]
        assert kp.public_key_jwk is not jwk  # a new dict each time: the caller may change it
        key = OKPKey.import_key(jwk)
        assert key.thumbprint() == kp.jwk_thumbprint
        assert key.as_dict(private=False) == jwk

    def test_cryptography_verifies_our_signature_with_the_jwk_key(self):
        kp = KeyPair.generate()
        x = unb64(kp.public_key_jwk["x"])
        assert len(x) == 32
        Ed25519PublicKey.from_public_bytes(x).verify(kp.sign(b"to tools"), b"to tools")

    def test_public_key_from_reads_joserfc_jwks_as_dict_and_as_json(self):
        key = OKPKey.generate_key("Ed25519")
        raw = unb64(key.as_dict(private=False)["x"])
        public = key.as_dict(private=False)
        for value in (public, json.dumps(public), json.dumps(public, indent=2),
                      OrderedDict(public), {**public, "kid": key.thumbprint(), "use": "sig",
                                            "key_ops": ["verify"], 7: None}):
            assert KeyPair.public_key_from(value) == raw
        # A null "d" holds no private key, in a dict as in JSON text; any other "d" does.
        for no_private in ({**public, "d": None}, json.dumps({**public, "d": None})):
            assert KeyPair.public_key_from(no_private) == raw
        for private in (key.as_dict(private=True), json.dumps(key.as_dict(private=True)),
                        {**public, "d": ""}, json.dumps({**public, "d": 0})):
            with pytest.raises(ValueError) as e:
                KeyPair.public_key_from(private)
            assert str(e.value) == PRIVATE

    @pytest.mark.parametrize("change", [
        {"kty": "EC"}, {"kty": None}, {"kty": b"OKP"}, {"crv": "X25519"}, {"crv": "ed25519"},
        {"x": None}, {"x": 5}, {"x": "A" * 42}, {"x": "A" * 43 + "="}, {"x": "A" * 44},
        {"x": "A" * 42 + "B"}, {"x": "A" * 42 + "\udc80"}, {"kty": "\ud800OKP"},
    ])
    def test_public_key_from_refuses_other_dicts(self, change):
        jwk = {**KeyPair.generate().public_key_jwk, **change}
        for value in (jwk, {k: v for k, v in jwk.items() if v is not None}):
            with pytest.raises(ValueError) as e:
                KeyPair.public_key_from(value)
            assert type(e.value) is ValueError
            assert str(e.value) == FORMS
        for missing in ("kty", "crv", "x"):
            with pytest.raises(ValueError, match=r"^public key must be "):
                KeyPair.public_key_from({k: v for k, v in jwk.items() if k != missing})

    def test_a_failing_member_lookup_propagates(self):
        class Clash:
            def __hash__(self):
                return hash("kty")

            def __eq__(self, other):
                raise RuntimeError("no comparing")

        with pytest.raises(RuntimeError, match="^no comparing$"):
            KeyPair.public_key_from({Clash(): 1})

    def test_only_str_and_dict_are_taken(self):
        from types import MappingProxyType
        value = MappingProxyType(KeyPair.generate().public_key_jwk)
        with pytest.raises(TypeError) as e:
            KeyPair.public_key_from(value)
        assert str(e.value) == ("argument 'value': 'mappingproxy' object cannot be converted to "
                                "'PyString'")


class TestDidKey:
    @pytest.mark.parametrize("seed,did,base58", DID_KEY_VECTORS)
    def test_published_vectors_both_ways(self, seed, did, base58):
        kp = KeyPair.from_secret_bytes(bytes.fromhex(seed))
        assert kp.did_key == did
        # Our publicKeyMultibase is "z" and the bare key's base58btc: no multicodec prefix.
        assert kp.public_key_multibase == "z" + base58
        for text in (did, did + "#" + did[len("did:key:"):]):
            assert KeyPair.public_key_from(text) == kp.public_key_bytes

    @pytest.mark.parametrize("text", [
        DID_KEY_VECTORS[0][1] + "#" + DID_KEY_VECTORS[1][1][len("did:key:"):],
        DID_KEY_VECTORS[0][1] + "#key-1",
        "did:key:z" + DID_KEY_VECTORS[0][2],
        "did:key:z6LShs9GGnqk85isEBzzshkuVWrVKsRp24GnDuHk8QWkARMW",  # the X25519 key, not Ed25519
    ])
    def test_refuses_other_identifiers(self, text):
        with pytest.raises(ValueError) as e:
            KeyPair.public_key_from(text)
        assert str(e.value) == FORMS


class TestAidPublicKeyBytes:
    def test_is_the_first_verification_methods_key(self):
        identity = AgentIdentity.create("keys")
        aid = identity.aid()
        assert aid.public_key_bytes == identity.public_key_bytes
        doc = json.loads(aid.to_json())
        other = KeyPair.generate()
        doc["verificationMethod"].append({**doc["verificationMethod"][0], "id": "#second",
                                          "publicKeyMultibase": other.public_key_multibase})
        assert AID.from_json(json.dumps(doc)).public_key_bytes == identity.public_key_bytes
        doc["verificationMethod"].reverse()
        assert AID.from_json(json.dumps(doc)).public_key_bytes == other.public_key_bytes

    @pytest.mark.parametrize("text,reason", [
        ("", "Missing multibase prefix 'z'"),
        (bytes(32).hex(), "Missing multibase prefix 'z'"),
        ("z0", "Invalid character '0' at position 1"),
        ("z" + "1" * 31, "31 bytes, not 32"),
        (DID_KEY_VECTORS[0][1][len("did:key:"):], "34 bytes, not 32"),
    ])
    def test_refuses_a_method_whose_key_does_not_decode(self, text, reason):
        doc = json.loads(AgentIdentity.create("keys").aid().to_json())
        doc["verificationMethod"][0]["publicKeyMultibase"] = text
        aid = AID.from_json(json.dumps(doc))
        with pytest.raises(ValueError) as e:
            aid.public_key_bytes
        assert type(e.value) is ValueError
        assert str(e.value) == "publicKeyMultibase is not a public key: " + reason
