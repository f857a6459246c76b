"""DAT.issue_constrained: every constraint written and read back, and what it refuses."""

import inspect
import json

import pytest

from dat_helpers import ISS, KEY, PK, SCOPE, SUB
from quorvex import DAT, EvaluationContext
from tokens import segments

# Every member, in the shape DAT.constraints gives it.
ALL = {
    "maxActions": 100,
    "allowedServers": ["files.example.com", ""],
    "requireReceipt": False,
    "rateLimit": {"max_actions": 10, "window_secs": 60},
    "ipAllowlist": ["10.0.0.0/8", "2001:db8::/32", "192.168.1.5"],
    "ipDenylist": ["10.9.0.0/16"],
    "minTrustLevel": 2,
    "maxDelegationDepth": 1,
    "allowedCountries": ["US", "de"],
    "timeWindows": [
        {"start_hour": 0, "end_hour": 23},
        {"start_hour": 22, "end_hour": 6, "days_of_week": [0, 1, 2, 3, 4, 5, 6]},
    ],
    "requiredConfigHash": "sha256:abc",
}
GRANTED = ["mcp:tool:*:read"]
MEMBERS = ("(its members: maxActions, allowedServers, requireReceipt, rateLimit, ipAllowlist, "
           "ipDenylist, minTrustLevel, maxDelegationDepth, allowedCountries, timeWindows, "
           "requiredConfigHash)")


def issue(constraints=None, scope=GRANTED, **kwargs):
    return DAT.issue_constrained(ISS, SUB, list(scope), 3600, KEY, constraints=constraints,
                                 **kwargs)


def refusal(error, call):
    with pytest.raises(error) as caught:
        call()
    return str(caught.value)


class TestIssueConstrained:
    def test_every_member_round_trips(self):
        dat = issue(ALL, config_attestation="attested:v1")
        assert dat.constraints == ALL
        assert dat.config_attestation == "attested:v1"
        compact = dat.to_compact()
        _, body = segments(compact)
        claims = json.loads(body)
        assert claims["constraints"] == ALL
        assert list(claims["constraints"]) == list(ALL)
        assert claims["configAttestation"] == "attested:v1"
        assert claims["delegationChain"] == []
        back = DAT.from_compact(compact)
        assert back.constraints == ALL
        assert back.config_attestation == "attested:v1"
        assert (back.issuer, back.subject, back.scope) == (ISS, SUB, GRANTED)
        assert back.key_id == ISS + "#key-ed25519"
        assert back.expires_at == back.issued_at + 3600 == back.not_before + 3600
        assert back.verify_signature(PK)

    @pytest.mark.parametrize("member", list(ALL))
    def test_each_member_alone(self, member):
        # None for another member leaves it out.
        other = "maxActions" if member == "requiredConfigHash" else "requiredConfigHash"
        dat = issue({member: ALL[member], other: None})
        assert dat.constraints == {member: ALL[member]}
        assert DAT.from_compact(dat.to_compact()).constraints == {member: ALL[member]}

    @pytest.mark.parametrize("constraints", [None, {}, {"maxActions": None, "rateLimit": None}])
    def test_no_members_writes_no_constraints(self, constraints):
        dat = DAT.issue_constrained(ISS, SUB, GRANTED, 60, KEY, constraints=constraints)
        assert dat.constraints == {}
        assert dat.config_attestation is None
        assert "constraints" not in json.loads(segments(dat.to_compact())[1])

    def test_accepted_by_a_matching_request(self):
        dat = DAT.from_compact(issue(ALL).to_compact())
        ctx = EvaluationContext()
        ctx.request_ip = "10.1.2.3"
        ctx.country_code = "DE"
        ctx.agent_trust_level = 3
        ctx.delegation_depth = 1
        ctx.actions_in_window = 9
        ctx.agent_config_hash = "sha256:abc"
        assert dat.verify(PK, SCOPE, ctx) is None
        assert dat.authorize({ISS: PK}, SCOPE, ctx) is None
        # The constraints are in force: one fact changed is refused.
        ctx.country_code = "FR"
        with pytest.raises(ValueError) as caught:
            dat.authorize({ISS: PK}, SCOPE, ctx)
        assert caught.value.code == "GeofenceViolation"

    @pytest.mark.parametrize(
        "scope,constraints,message",
        [
            (["mcp:tool:*:read", "read"], None,
             'scope entry "read" does not have 4 parts (namespace:protocol:resource:action)'),
            (["a:b:c:d:e"], ALL,
             'scope entry "a:b:c:d:e" does not have 4 parts (namespace:protocol:resource:action)'),
            (GRANTED, {"ipAllowlist": ["10.0.0.0/8", "10.0.0.0/33"]},
             'ipAllowlist entry "10.0.0.0/33" is no address or network'),
            (GRANTED, {"ipDenylist": ["example.com"]},
             'ipDenylist entry "example.com" is no address or network'),
            (GRANTED, {"allowedCountries": ["US", "USA"]},
             'allowedCountries entry "USA" is not a two-letter country code'),
            (GRANTED, {"allowedCountries": ["\u00fcs"]},
             'allowedCountries entry "\u00fcs" is not a two-letter country code'),
            (GRANTED, {"timeWindows": [{"start_hour": 24, "end_hour": 1}]},
             "timeWindows[0].start_hour 24 is above 23"),
            (GRANTED, {"timeWindows": [{"start_hour": 0, "end_hour": 23},
                                       {"start_hour": 9, "end_hour": 99}]},
             "timeWindows[1].end_hour 99 is above 23"),
            (GRANTED, {"timeWindows": [{"start_hour": 9, "end_hour": 17,
                                        "days_of_week": [0, 7]}]},
             "timeWindows[0].days_of_week entry 7 is above 6 (0 is Monday, 6 Sunday)"),
        ],
    )
    def test_refuses_what_no_verification_accepts(self, scope, constraints, message):
        with pytest.raises(ValueError) as caught:
            issue(constraints, scope=scope)
        assert (str(caught.value), caught.value.code, caught.value.details) == (
            message, "InvalidArgument", {})

    def test_refuses_an_expiry_as_issue_does(self):
        expected = "expires_in_seconds must lie between -9223372036854775 and 9223372036854775"
        with pytest.raises(ValueError) as caught:
            DAT.issue_constrained(ISS, SUB, GRANTED, 2**62, KEY, constraints=ALL)
        assert (str(caught.value), caught.value.code) == (expected, "InvalidArgument")

    @pytest.mark.parametrize(
        "constraints,message",
        [
            ({"maxAction": 1},
             'constraints has no member "maxAction" ' + MEMBERS),
            ({"max_actions": 1},
             'constraints has no member "max_actions" ' + MEMBERS),
            ({"rateLimit": {"max_actions": 1, "window": 60}},
             'constraints.rateLimit has no member "window" (its members: max_actions, '
             "window_secs)"),
            ({"timeWindows": [{"start_hour": 1, "end_hour": 2, "days": [1]}]},
             'constraints.timeWindows[0] has no member "days" (its members: start_hour, '
             "end_hour, days_of_week)"),
            ({"rateLimit": {"max_actions": 1}},
             'constraints.rateLimit must have "window_secs"'),
            ({"rateLimit": {"max_actions": None, "window_secs": 60}},
             'constraints.rateLimit must have "max_actions"'),
            ({"timeWindows": [{"end_hour": 2}]},
             'constraints.timeWindows[0] must have "start_hour"'),
        ],
    )
    def test_unknown_and_missing_members(self, constraints, message):
        with pytest.raises(ValueError) as caught:
            issue(constraints)
        assert (str(caught.value), caught.value.code, caught.value.details) == (
            message, "InvalidArgument", {})

    @pytest.mark.parametrize(
        "kwargs,error,message",
        [
            ({"constraints": [("maxActions", 1)]}, TypeError,
             "argument 'constraints': 'list' object cannot be converted to 'PyDict'"),
            ({"constraints": {1: 2}}, TypeError,
             "argument 'constraints': 'int' object cannot be converted to 'PyString'"),
            ({"constraints": {"maxActions": "5"}}, TypeError,
             "argument 'constraints.maxActions': 'str' object cannot be interpreted as an "
             "integer"),
            ({"constraints": {"maxDelegationDepth": 1.0}}, TypeError,
             "argument 'constraints.maxDelegationDepth': 'float' object cannot be interpreted "
             "as an integer"),
            ({"constraints": {"requireReceipt": 1}}, TypeError,
             "argument 'constraints.requireReceipt': 'int' object cannot be converted to "
             "'PyBool'"),
            ({"constraints": {"requiredConfigHash": b"abc"}}, TypeError,
             "argument 'constraints.requiredConfigHash': 'bytes' object cannot be converted to "
             "'PyString'"),
            ({"constraints": {"ipAllowlist": "10.0.0.1"}}, TypeError,
             "argument 'constraints.ipAllowlist': a str is not accepted as a list of str; "
             'pass ["..."] instead'),
            ({"constraints": {"allowedServers": ["a", 1]}}, TypeError,
             "argument 'constraints.allowedServers': 'int' object cannot be converted to "
             "'PyString'"),
            ({"constraints": {"rateLimit": [1, 60]}}, TypeError,
             "argument 'constraints.rateLimit': 'list' object cannot be converted to 'PyDict'"),
            ({"constraints": {"timeWindows": {"start_hour": 1, "end_hour": 2}}}, TypeError,
             "argument 'constraints.timeWindows': 'dict' object cannot be converted to "
             "'Sequence'"),
            ({"constraints": {"timeWindows": [{"start_hour": 1, "end_hour": 2,
                                               "days_of_week": [0, "1"]}]}}, TypeError,
             "argument 'constraints.timeWindows[0].days_of_week[1]': 'str' object cannot be "
             "interpreted as an integer"),
            ({"constraints": {"minTrustLevel": 256}}, OverflowError,
             "argument 'constraints.minTrustLevel': Python int too large to convert to C "
             "unsigned char"),
            ({"constraints": {"rateLimit": {"max_actions": 2**64, "window_secs": 1}}},
             OverflowError,
             "argument 'constraints.rateLimit.max_actions': int too big to convert"),
            ({"constraints": {"maxActions": -1}}, OverflowError,
             "argument 'constraints.maxActions': can't convert negative int to unsigned"),
            ({"config_attestation": 5}, TypeError,
             "argument 'config_attestation': 'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_wrong_types(self, kwargs, error, message):
        assert refusal(error, lambda: DAT.issue_constrained(ISS, SUB, GRANTED, 60, KEY,
                                                            **kwargs)) == message

    def test_signature(self):
        assert str(inspect.signature(DAT.issue_constrained)) == (
            "(issuer_did, subject_did, scope, expires_in_seconds, signing_key, *, "
            "constraints=None, config_attestation=None, holder_key=None)")
        assert refusal(TypeError, lambda: DAT.issue_constrained(ISS, SUB, GRANTED, 60, KEY, {})) \
            == "DAT.issue_constrained() takes 5 positional arguments but 6 were given"
        assert refusal(TypeError, lambda: DAT.issue_constrained(
            ISS, SUB, GRANTED, 60, KEY, max_actions=1)) == (
            "DAT.issue_constrained() got an unexpected keyword argument 'max_actions'")

    def test_a_dict_changed_while_read(self):
        """A value's __index__ may empty the dict being read: what was given is issued."""
        given = {}

        class Clears:
            def __index__(self):
                given.clear()
                return 7

        given.update({"maxActions": Clears(), "maxDelegationDepth": 2})
        assert issue(given).constraints == {"maxActions": 7, "maxDelegationDepth": 2}
