import json
import os
import sys

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

from quorvex import KeyPair, TrustLevel

B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"

# Seeds, public keys, messages and signatures from RFC 8032, section 7.1.
RFC8032 = [
    (
        "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
        "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
    ),
    (
        "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
        "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
        "72",
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00",
    ),
    (
        "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
        "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025",
        "af82",
        "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a",
    ),
]


def b58decode(text):
    n = 0
    for ch in text:
        n = n * 58 + B58.index(ch)
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b""
    return b"\0" * (len(text) - len(text.lstrip("1"))) + raw


class TestKeyPair:
    @pytest.mark.parametrize("seed,pk,msg,sig", RFC8032)
    def test_rfc8032_vectors(self, seed, pk, msg, sig):
        kp = KeyPair.from_secret_bytes(bytes.fromhex(seed))
        assert kp.public_key_bytes == bytes.fromhex(pk)
        assert kp.sign(bytes.fromhex(msg)) == bytes.fromhex(sig)
        assert kp.verify(bytes.fromhex(msg), bytes.fromhex(sig)) is True

    def test_sign_input_corpus(self, vectors_dir):
        lines = (vectors_dir / "sign.input").read_text().splitlines()
        assert len(lines) == 1024
        for line in lines[::7]:
            sk_pk, pk, msg, sig_msg, _ = line.split(":")
            kp = KeyPair.from_secret_bytes(bytes.fromhex(sk_pk)[:32])
            assert kp.public_key_bytes == bytes.fromhex(pk)
            m = bytes.fromhex(msg)
            assert kp.sign(m) == bytes.fromhex(sig_msg)[:64]
            assert kp.verify(m, bytes.fromhex(sig_msg)[:64])

    def test_wycheproof_vectors_with_known_seeds(self, vectors_dir):
        verdicts = json.loads((vectors_dir / "verdicts.json").read_text())["vectors"]
        checked = 0
        for v in verdicts:
            if "sk" not in v:
                continue
            kp = KeyPair.from_secret_bytes(bytes.fromhex(v["sk"]))
            assert kp.public_key_bytes.hex() == v["pk"]
            got = kp.verify(bytes.fromhex(v["msg"]), bytes.fromhex(v["sig"]))
            assert got is (v["verdict"] == "valid"), v
            checked += 1
        assert checked == 145

    def test_cross_checks_with_cryptography(self):
        for n in range(40):
            seed = os.urandom(32)
            msg = os.urandom(n * 13)
            ours = KeyPair.from_secret_bytes(seed)
            theirs = Ed25519PrivateKey.from_private_bytes(seed)
            pub = theirs.public_key().public_bytes(
                serialization.Encoding.Raw, serialization.PublicFormat.Raw
            )
            assert ours.public_key_bytes == pub
            Ed25519PublicKey.from_public_bytes(ours.public_key_bytes).verify(ours.sign(msg), msg)
            assert ours.verify(msg, theirs.sign(msg))
        generated = KeyPair.generate()
        Ed25519PublicKey.from_public_bytes(generated.public_key_bytes).verify(
            generated.sign(b"hello"), b"hello"
        )

    def test_same_seed_same_keys_but_distinct_objects(self):
        seed = bytes(range(32))
        a, b = KeyPair.from_secret_bytes(seed), KeyPair.from_secret_bytes(seed)
        assert a.public_key_bytes == b.public_key_bytes
        assert a.sign(b"m") == b.sign(b"m") == a.sign(b"m")
        assert a != b

    def test_generate_gives_fresh_keys(self):
        keys = {KeyPair.generate().public_key_bytes for _ in range(20)}
        assert len(keys) == 20

    @pytest.mark.parametrize("length", [0, 31, 33, 64])
    def test_seed_must_be_32_bytes(self, length):
        with pytest.raises(ValueError) as e:
            KeyPair.from_secret_bytes(bytes(length))
        assert str(e.value) == "Secret key must be exactly 32 bytes"

    def test_seed_must_be_bytes(self):
        with pytest.raises(TypeError) as e:
            KeyPair.from_secret_bytes(bytearray(32))
        assert str(e.value) == (
            "argument 'secret': 'bytearray' object cannot be converted to 'PyBytes'"
        )

    def test_verify_failures_are_false(self):
        kp = KeyPair.generate()
        other = KeyPair.generate()
        m = b"message"
        sig = kp.sign(m)
        assert kp.verify(m, sig) is True
        assert kp.verify(m, b"") is False
        assert kp.verify(m, sig[:63]) is False
        assert kp.verify(m, sig + b"\0") is False
        assert kp.verify(m, other.sign(m)) is False
        assert kp.verify(m + b"!", sig) is False
        for bit in (0, 100, 255, 256, 511):
            flipped = bytearray(sig)
            flipped[bit // 8] ^= 1 << (bit % 8)
            assert kp.verify(m, bytes(flipped)) is False

    def test_non_canonical_s_is_false(self):
        L = 2**252 + 27742317777372353535851937790883648493
        kp = KeyPair.generate()
        sig = kp.sign(b"m")
        s = int.from_bytes(sig[32:], "little")
        assert kp.verify(b"m", sig[:32] + (s + L).to_bytes(32, "little")) is False
        high = bytearray(sig)
        high[63] |= 0x80
        assert kp.verify(b"m", bytes(high)) is False

    def test_public_key_forms(self):
        kp = KeyPair.from_secret_bytes(bytes.fromhex(RFC8032[0][0]))
        pk = kp.public_key_bytes
        assert isinstance(pk, bytes) and len(pk) == 32
        assert kp.public_key_bytes is not pk
        text = kp.public_key_multibase
        assert text[0] == "z" and set(text[1:]) <= set(B58)
        assert b58decode(text[1:]) == pk
        assert repr(kp) == "KeyPair(public_key='" + text + "')"

    def test_docstrings_and_signatures(self):
        assert KeyPair.__doc__.splitlines()[0] == "An Ed25519 key pair for signing and verification."
        assert KeyPair.__doc__.splitlines()[1] == ""
        assert KeyPair.__doc__.endswith(
            "Use `sign()` to create signatures and `verify()` for verification."
        )
        assert KeyPair.__text_signature__ is None
        assert KeyPair.generate.__text_signature__ == "()"
        assert KeyPair.generate.__doc__ == "Generate a new random Ed25519 key pair."
        assert KeyPair.from_secret_bytes.__text_signature__ == "(secret)"
        assert KeyPair.from_secret_bytes.__doc__ == (
            "Create a key pair from secret key bytes (32 bytes)."
        )
        assert KeyPair.sign.__text_signature__ == "($self, message)"
        assert KeyPair.verify.__text_signature__ == "($self, message, signature)"

    @pytest.mark.parametrize("form", [lambda kp: kp.public_key_multibase,
                                      lambda kp: kp.public_key_bytes.hex(),
                                      lambda kp: kp.public_key_bytes.hex().upper()])
    def test_public_key_from_each_form(self, form):
        kp = KeyPair.from_secret_bytes(bytes.fromhex(RFC8032[0][0]))
        assert KeyPair.public_key_from(form(kp)) == kp.public_key_bytes
        assert KeyPair.public_key_from(value=form(kp)) == kp.public_key_bytes
        assert KeyPair.public_key_from.__text_signature__ == "(value)"

    @pytest.mark.parametrize("value", ["", "z", "z" + "1" * 31, "0" * 63, "\ud800",
                                       "z\udcff" + "1" * 31, "0" * 62 + "\udcff"])
    def test_public_key_from_refuses_other_text(self, value):
        with pytest.raises(ValueError) as e:
            KeyPair.public_key_from(value)
        assert type(e.value) is ValueError
        assert str(e.value) == (
            "public key must be multibase base58btc text ('z...'), a did:key ('did:key:z...'), an "
            'Ed25519 JWK ({"kty": "OKP", "crv": "Ed25519", "x": ...}) or 64 hex digits')

    @pytest.mark.parametrize("value", [b"z" + b"1" * 32, bytes(32), None, 5])
    def test_public_key_from_takes_only_str(self, value):
        with pytest.raises(TypeError) as e:
            KeyPair.public_key_from(value)
        assert str(e.value) == (f"argument 'value': '{type(value).__name__}' object cannot be "
                                "converted to 'PyString'")


class TestTrustLevel:
    DESCRIPTIONS = {
        "L0": "Self-declared \u2014 unverified identity claim",
        "L1": "Domain-verified \u2014 DNS TXT record confirms domain ownership",
        "L2": "Organization-verified \u2014 CA-like verification of controlling entity",
        "L3": "Audited \u2014 third-party security audit completed",
        "L4": "Continuously monitored \u2014 real-time behavior and compliance analysis",
    }

    @pytest.mark.parametrize("name", ["L0", "L1", "L2", "L3", "L4"])
    def test_text_forms(self, name):
        level = TrustLevel(name)
        assert str(level) == name
        assert level.description == self.DESCRIPTIONS[name]
        assert repr(level) == f"TrustLevel('{name}' \u2014 {self.DESCRIPTIONS[name]})"

    @pytest.mark.parametrize("text", ["l0", "L5", "L", "", " L1", "L1 ", "0", "2", "L\u0661"])
    def test_rejects_other_texts(self, text):
        with pytest.raises(ValueError) as e:
            TrustLevel(text)
        assert str(e.value) == f"Invalid trust level '{text}'. Must be L0, L1, L2, L3, or L4."

    def test_meets_minimum(self):
        levels = [TrustLevel(f"L{i}") for i in range(5)]
        for i, a in enumerate(levels):
            for j, b in enumerate(levels):
                assert a.meets_minimum(b) is (i >= j)
        assert levels[3].meets_minimum(required=levels[2]) is True

    def test_meets_minimum_needs_a_trust_level(self):
        with pytest.raises(TypeError) as e:
            TrustLevel("L3").meets_minimum("L2")
        assert str(e.value) == "argument 'required': 'str' object cannot be converted to 'TrustLevel'"

    def test_docs_and_identity(self):
        assert TrustLevel.__doc__ is None
        # Python 3.9 drops a class's text signature when it builds a type from a spec.
        if sys.version_info >= (3, 10):
            assert TrustLevel.__text_signature__ == "(level)"
        assert TrustLevel.meets_minimum.__text_signature__ == "($self, required)"
        a, b = TrustLevel("L2"), TrustLevel("L2")
        assert a != b
        assert len({a, b}) == 2
        with pytest.raises(AttributeError):
            a.description = "x"
