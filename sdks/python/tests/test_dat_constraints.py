"""DAT.verify against a token's constraints and the values of an EvaluationContext."""

import time
from datetime import datetime, timezone

import pytest

from dat_helpers import SCOPE, issue, parsed, verdict
from quorvex import EvaluationContext


def context(**fields):
    ctx = EvaluationContext()
    for name, value in fields.items():
        setattr(ctx, name, value)
    return ctx


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


class TestDAT:
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
