"""EvaluationContext: its fields, their conversions, repr and documentation."""

import pytest

from dat_helpers import PK, issue
from quorvex import EvaluationContext


class TestEvaluationContext:
    FIELDS = {
        "request_ip": ("Request IP address string (IPv4 or IPv6).", None),
        "country_code": ("ISO 3166-1 alpha-2 country code.", None),
        "delegation_depth": ("Delegation chain depth (0 = root token).", 0),
        "actions_in_window": ("Actions taken in the current rate-limit window.", 0),
        "agent_config_hash": ("SHA-256 hex hash of the agent's current configuration.", None),
        "agent_trust_level": ("Agent trust level (0\u2013100).", None),
    }

    @pytest.mark.parametrize("name", list(FIELDS))
    def test_initial_values_and_docstrings(self, name):
        doc, initial = self.FIELDS[name]
        assert getattr(EvaluationContext(), name) == initial
        assert getattr(EvaluationContext, name).__doc__ == doc

    def test_repr(self):
        ctx = EvaluationContext()
        assert repr(ctx) == "EvaluationContext(ip=None, trust=None, depth=0, country=None)"
        ctx.request_ip = "10.0.0.7"
        ctx.agent_trust_level = 75
        ctx.delegation_depth = 3
        ctx.country_code = "DE"
        ctx.actions_in_window = 8
        ctx.agent_config_hash = "h"
        assert repr(ctx) == (
            'EvaluationContext(ip=Some("10.0.0.7"), trust=Some(75), depth=3, country=Some("DE"))'
        )
        ctx.request_ip = 'a"b\nc'
        ctx.country_code = "\\\t\r\x00\x7f'\u00e9"
        ctx.agent_trust_level = 0
        assert repr(ctx) == (
            'EvaluationContext(ip=Some("a\\"b\\nc"), trust=Some(0), depth=3, '
            "country=Some(\"\\\\\\t\\r\\u{0}\\u{7f}'\u00e9\"))"
        )

    @pytest.mark.parametrize(
        "name,value",
        [
            ("request_ip", "not an address"),
            ("request_ip", ""),
            ("country_code", "Deutschland \u00fc"),
            ("agent_config_hash", "ABC\x00"),
            ("delegation_depth", 2**32 - 1),
            ("actions_in_window", 2**64 - 1),
            ("agent_trust_level", 0),
            ("agent_trust_level", 255),
        ],
    )
    def test_values_stored_as_given(self, name, value):
        ctx = EvaluationContext()
        setattr(ctx, name, value)
        assert getattr(ctx, name) == value

    @pytest.mark.parametrize(
        "name", ["request_ip", "country_code", "agent_config_hash", "agent_trust_level"]
    )
    def test_none_clears_optional(self, name):
        ctx = EvaluationContext()
        setattr(ctx, name, 1 if name == "agent_trust_level" else "x")
        setattr(ctx, name, None)
        assert getattr(ctx, name) is None

    @pytest.mark.parametrize("name", ["delegation_depth", "actions_in_window"])
    def test_none_not_accepted_for_counts(self, name):
        ctx = EvaluationContext()
        setattr(ctx, name, 4)
        with pytest.raises(TypeError) as e:
            setattr(ctx, name, None)
        assert str(e.value) == "'NoneType' object cannot be interpreted as an integer"
        assert getattr(ctx, name) == 4

    @pytest.mark.parametrize(
        "name,value",
        [
            ("delegation_depth", -1),
            ("delegation_depth", 2**32),
            ("actions_in_window", -1),
            ("actions_in_window", 2**64),
            ("agent_trust_level", -1),
            ("agent_trust_level", 256),
        ],
    )
    def test_out_of_range(self, name, value):
        ctx = EvaluationContext()
        with pytest.raises(OverflowError):
            setattr(ctx, name, value)
        assert getattr(ctx, name) == self.FIELDS[name][1]

    @pytest.mark.parametrize(
        "name,value,message",
        [
            ("request_ip", 10, "'int' object cannot be converted to 'PyString'"),
            ("country_code", b"DE", "'bytes' object cannot be converted to 'PyString'"),
            ("agent_config_hash", ["h"], "'list' object cannot be converted to 'PyString'"),
            ("delegation_depth", 1.0, "'float' object cannot be interpreted as an integer"),
            ("actions_in_window", "3", "'str' object cannot be interpreted as an integer"),
            ("agent_trust_level", "L2", "'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_wrong_types(self, name, value, message):
        ctx = EvaluationContext()
        with pytest.raises(TypeError) as e:
            setattr(ctx, name, value)
        assert str(e.value) == message

    def test_index_objects(self):
        class Five:
            def __index__(self):
                return 5

        ctx = EvaluationContext()
        for name in ("delegation_depth", "actions_in_window", "agent_trust_level"):
            setattr(ctx, name, Five())
            assert getattr(ctx, name) == 5
        ctx.delegation_depth = True
        assert ctx.delegation_depth == 1 and type(ctx.delegation_depth) is int

    @pytest.mark.parametrize("name", list(FIELDS))
    def test_delete(self, name):
        ctx = EvaluationContext()
        with pytest.raises(AttributeError) as e:
            delattr(ctx, name)
        assert str(e.value) == "can't delete attribute"

    def test_reentrant_access_during_assignment(self):
        ctx = EvaluationContext()

        class Reads:
            def __index__(self):
                return ctx.delegation_depth

        class Writes:
            def __index__(self):
                ctx.actions_in_window = 7
                return 1

        class Verifies:
            def __index__(self):
                issue().verify(PK, "mcp:tool:x:read", ctx)
                return 1

        for cls, message in ((Reads, "Already mutably borrowed"), (Writes, "Already borrowed"),
                             (Verifies, "Already mutably borrowed")):
            with pytest.raises(RuntimeError) as e:
                ctx.delegation_depth = cls()
            assert str(e.value) == message
        assert repr(ctx) == "EvaluationContext(ip=None, trust=None, depth=0, country=None)"
        assert ctx.actions_in_window == 0
        ctx.delegation_depth = 2
        assert ctx.delegation_depth == 2

    def test_constructor_and_attributes(self):
        with pytest.raises(TypeError) as e:
            EvaluationContext(1)
        assert str(e.value) == (
            "EvaluationContext.__new__() takes 0 positional arguments but 1 was given"
        )
        with pytest.raises(TypeError) as e:
            EvaluationContext(request_ip="10.0.0.1")
        assert str(e.value) == (
            "EvaluationContext.__new__() got an unexpected keyword argument 'request_ip'"
        )
        with pytest.raises(AttributeError):
            EvaluationContext().hourly_count = 1

    def test_docs(self):
        assert EvaluationContext.__doc__ == (
            "Runtime context supplied to DAT.verify() for constraint evaluation.\n"
            "\n"
            "Example:\n"
            "    ctx = EvaluationContext()\n"
            '    ctx.request_ip = "10.0.0.5"\n'
            "    ctx.agent_trust_level = 75\n"
            '    ctx.country_code = "AU"\n'
            '    dat.verify(pub_key_bytes, "mcp:tool:read", ctx)'
        )
        assert EvaluationContext.__text_signature__ is None
