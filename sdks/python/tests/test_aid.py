import json
import sys

import pytest

from quorvex import AID, AIDBuilder, KeyPair

KEY = KeyPair.from_secret_bytes(bytes(range(32)))


def builder(**fields):
    b = AIDBuilder()
    b.id(fields.get("id", "did:aid:agents.test:bot"))
    b.controller(fields.get("controller", "did:aid:agents.test:owner"))
    b.name(fields.get("name", "bot"))
    b.add_ed25519_key(KEY)
    return b


class TestAIDBuilder:
    def test_builds_a_document_that_round_trips(self):
        b = builder()
        assert b.description("d") is None
        b.model("m")
        b.runtime("r")
        b.trust_level("L3")
        aid = b.build()
        assert (aid.did, aid.controller, aid.trust_level) == (
            "did:aid:agents.test:bot", "did:aid:agents.test:owner", "L3")
        doc = json.loads(aid.to_json())
        assert doc["verificationMethod"][0]["publicKeyMultibase"] == KEY.public_key_multibase
        assert list(doc["service"][0]["serviceEndpoint"]) == ["description", "model", "name",
                                                              "runtime"]
        assert AID.from_json(aid.to_json()).to_json() == aid.to_json()
        assert aid.validate() is None

    def test_every_build_empties_the_builder(self):
        b = builder()
        b.build()
        message = "^InvalidAidError: AID document validation failed: id is required$"
        with pytest.raises(ValueError, match=message):
            b.build()
        with pytest.raises(ValueError, match=message):
            AIDBuilder().build()
        with pytest.raises(ValueError, match=r"^InvalidAidError: invalid AID identifier: "
                                             r"invalid domain: localhost$"):
            builder(id="did:aid:localhost:bot").build()

    @pytest.mark.parametrize("call,error,message", [
        (lambda b: b.id(1), TypeError,
         "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (lambda b: b.description(desc=None), TypeError,
         "argument 'desc': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda b: b.trust_level(), TypeError,
         "AIDBuilder.trust_level() missing 1 required positional argument: 'level'"),
        (lambda b: b.model("a", "b"), TypeError,
         "AIDBuilder.model() takes 1 positional arguments but 2 were given"),
        (lambda b: b.runtime(runtim="x"), TypeError,
         "AIDBuilder.runtime() got an unexpected keyword argument 'runtim'"),
        (lambda b: b.add_ed25519_key(KEY.public_key_bytes), TypeError,
         "argument 'keypair': 'bytes' object cannot be converted to 'KeyPair'"),
        (lambda b: b.build(None), TypeError,
         "AIDBuilder.build() takes 0 positional arguments but 1 was given"),
        (lambda b: AIDBuilder(1), TypeError,
         "AIDBuilder.__new__() takes 0 positional arguments but 1 was given"),
        (lambda b: b.name("\ud800"), UnicodeEncodeError, None),
    ])
    def test_argument_errors_leave_the_builder_unchanged(self, call, error, message):
        b = builder()
        with pytest.raises(error) as raised:
            call(b)
        if message is not None:
            assert str(raised.value) == message
        assert b.build().did == "did:aid:agents.test:bot"

    def test_text_signatures(self):
        if sys.version_info >= (3, 10):  # class text signatures exist from 3.10
            assert AIDBuilder.__text_signature__ == "()"
        assert AIDBuilder.__doc__ is None
        assert AIDBuilder.description.__text_signature__ == "($self, desc)"
        assert AIDBuilder.add_ed25519_key.__text_signature__ == "($self, keypair)"
        assert AID.from_json.__text_signature__ == "(json)"
        assert AID.to_json.__text_signature__ == "($self)"


class TestAID:
    def test_has_no_constructor(self):
        with pytest.raises(TypeError, match="^No constructor defined for AID$"):
            AID()

    def test_from_json_translates_parse_and_validation_errors(self):
        with pytest.raises(ValueError, match=r"^Invalid AID JSON: missing field `@context` at "
                                             r"line 1 column 2$"):
            AID.from_json("{}")
        doc = json.loads(builder().build().to_json())
        doc["controller"] = "alice"
        with pytest.raises(ValueError, match="^InvalidAidError: AID document validation failed: "
                                             "controller must be a valid DID$"):
            AID.from_json(json.dumps(doc))
        with pytest.raises(TypeError, match="^argument 'json': 'bytes' object cannot be "
                                            "converted to 'PyString'$"):
            AID.from_json(b"{}")

    def test_repr_and_absent_trust_level(self):
        aid = builder(id="did:aid:it's.test:bot").build()
        assert repr(aid) == "AID(did='did:aid:it's.test:bot')"
        assert aid.trust_level is None

    def test_is_a_did_document_to_an_independent_reader(self):
        pydid = pytest.importorskip("pydid")
        aid = builder().build()
        doc = pydid.deserialize_document(json.loads(aid.to_json()))
        assert str(doc.id) == aid.did
        method = doc.dereference("#key-ed25519")
        assert method.public_key_multibase == KEY.public_key_multibase
        assert [str(ref) for ref in doc.authentication] == ["#key-ed25519"]
