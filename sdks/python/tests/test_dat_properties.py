"""The DAT properties that show a token as read: times, key id, constraints, attestation, chain."""

import json
import time

import pytest

from quorvex import DAT, KeyPair
from tokens import HEADER, claims, segments, signed

KEY = KeyPair.generate()
ISS = "did:aid:test:issuer"
NEW = ("issued_at", "not_before", "key_id", "constraints", "config_attestation",
       "delegation_chain")

# Every constraint member as it is written on the wire, in the order the token writes them.
EVERY_CONSTRAINT = {
    "maxActions": 2**64 - 1,
    "allowedServers": ["mcp.example.com", "\u00e9t\u00e9\u0000.example"],
    "requireReceipt": False,
    "rateLimit": {"max_actions": 5, "window_secs": 86400},
    "ipAllowlist": ["10.0.0.0/8", "::1"],
    "ipDenylist": [],
    "minTrustLevel": 255,
    "maxDelegationDepth": 2**32 - 1,
    "allowedCountries": ["DE", "AU"],
    "timeWindows": [{"start_hour": 9, "end_hour": 17, "days_of_week": [0, 1, 2, 3, 4]},
                    {"start_hour": 22, "end_hour": 6}],
    "requiredConfigHash": "ab" * 32,
}


def read(header=HEADER, **members):
    """A token signed by KEY over the given claims, as DAT.from_compact reads it."""
    return DAT.from_compact(signed(header, claims(**members), KEY))


class TestIssuedToken:
    def test_properties_match_the_written_claims(self):
        before = int(time.time())
        dat = DAT.issue(ISS, "did:aid:test:agent", ["a:b:c:d"], 60, KEY, max_actions=3,
                        require_receipt=True, max_delegation_depth=0, min_trust_level=75)
        after = int(time.time())
        header, body = (json.loads(part) for part in segments(dat.to_compact()))
        assert before <= dat.issued_at == dat.not_before <= after
        assert (dat.issued_at, dat.not_before, dat.key_id) == (body["iat"], body["nbf"],
                                                               header["kid"])
        assert dat.key_id == ISS + "#key-ed25519"
        assert list(dat.constraints.items()) == [("maxActions", 3), ("requireReceipt", True),
                                                 ("minTrustLevel", 75), ("maxDelegationDepth", 0)]
        assert dat.constraints == body["constraints"]
        # issue writes no attestation and an empty chain.
        assert (dat.config_attestation, dat.delegation_chain) == (None, [])

    def test_no_constraint_keyword_is_an_empty_dict(self):
        dat = DAT.issue(ISS, "did:aid:test:agent", ["a:b:c:d"], 60, KEY)
        assert dat.constraints == {}


class TestReadToken:
    def test_every_member_as_written(self):
        constraints = {**EVERY_CONSTRAINT, "unknown": 1}
        dat = read(iat=-(2**63), nbf=2**63 - 1, constraints=constraints,
                   configAttestation="sha256:\u00e9\u0000", delegationChain=[ISS, "did:x"])
        assert (dat.issued_at, dat.not_before) == (-(2**63), 2**63 - 1)
        assert dat.key_id == "did:aid:test:issuer#key-ed25519"
        # Members the token does not know are not kept, so not shown.
        assert list(dat.constraints.items()) == list(EVERY_CONSTRAINT.items())
        assert dat.config_attestation == "sha256:\u00e9\u0000"
        assert dat.delegation_chain == [ISS, "did:x"]
        assert json.loads(segments(dat.to_compact())[1])["constraints"] == dat.constraints

    def test_records_read_in_any_form_show_under_their_member_names(self):
        # Null stands for an absent member; a record may be written as its member values.
        dat = read(constraints={"ipDenylist": None, "rateLimit": [5, 60],
                                "timeWindows": [[1, 2, None], {"end_hour": 4, "start_hour": 3}]})
        assert dat.constraints == {
            "rateLimit": {"max_actions": 5, "window_secs": 60},
            "timeWindows": [{"start_hour": 1, "end_hour": 2}, {"start_hour": 3, "end_hour": 4}]}

    @pytest.mark.parametrize("members", [
        {"constraints": None, "configAttestation": None, "delegationChain": None},
        {"constraints": {}},
        {"constraints": {"maxActions": None}},
    ], ids=["absent", "empty", "null members"])
    def test_absent_members(self, members):
        dat = read(**members)
        assert (dat.constraints, dat.config_attestation, dat.delegation_chain) == ({}, None, None)

    def test_each_read_is_a_new_value(self):
        dat = read(constraints=EVERY_CONSTRAINT, delegationChain=["did:x"])
        first = dat.constraints
        assert first is not dat.constraints
        first["rateLimit"]["max_actions"] = 0
        first["timeWindows"].clear()
        dat.delegation_chain.append("did:y")
        assert dat.constraints == EVERY_CONSTRAINT
        assert dat.delegation_chain == ["did:x"]


class TestAttributes:
    @pytest.mark.parametrize("name", NEW)
    def test_read_only(self, name):
        dat = read()
        with pytest.raises(AttributeError):
            setattr(dat, name, None)
        with pytest.raises(AttributeError):
            delattr(dat, name)

    def test_docstrings(self):
        assert {name: getattr(DAT, name).__doc__ for name in NEW} == {
            "issued_at": "Issue time (iat), in Unix seconds.",
            "not_before": "Start of validity (nbf), in Unix seconds.",
            "key_id": "Key identifier of the signing key (header kid).",
            "constraints":
                "Constraints as a new dict under their JSON member names; {} when there are none.",
            "config_attestation": "Configuration attestation (configAttestation), or None.",
            "delegation_chain": "Delegation chain (delegationChain) as a list of strings, or None.",
        }
