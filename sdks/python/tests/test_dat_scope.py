"""Scope: parsing its text and what one scope covers."""

import sys

import pytest

from quorvex import Scope

SCOPE_ERROR = (
    "ScopeNotPermittedError: scope not permitted: scope must have 4 parts "
    "(namespace:protocol:resource:action), got: "
)


class TestScope:
    @pytest.mark.parametrize(
        "text", ["mcp:tool:*:read", ":::", "a:b:c:", "*:*:*:*", "n s:é:ü/x:read*", "a:b:c:\u0000"]
    )
    def test_text_forms(self, text):
        scope = Scope(text)
        assert str(scope) == text
        assert repr(scope) == "Scope('" + text + "')"

    def test_repr_does_not_escape(self):
        assert repr(Scope("it's:a:\n:b")) == "Scope('it's:a:\n:b')"

    @pytest.mark.parametrize("text", ["a:b", "", "a:b:c", "a:b:c:d:e", "a:b:c:d:", "a::b:c:d:e:f"])
    def test_parse_failure(self, text):
        with pytest.raises(ValueError) as e:
            Scope(text)
        assert str(e.value) == SCOPE_ERROR + text
        assert e.value.args == (SCOPE_ERROR + text,)

    @pytest.mark.parametrize(
        "granted,requested,result",
        [
            ("mcp:tool:*:read", "mcp:tool:fs:read", True),
            ("mcp:tool:fs:read", "mcp:tool:*:read", False),
            ("*:*:*:*", "a:b:c:d", True),
            ("*:*:*:*", ":::", True),
            ("a:b:c:d", "a:b:c:d", True),
            ("a:b:*:d", "a:b:*:d", True),
            ("a:b:c:d", "A:b:c:d", False),
            ("a:b:files:d", "a:b:files/tmp:d", False),
            ("a:b:c:read", "a:b:c:read-write", False),
            ("a:b:c:read*", "a:b:c:readme", False),
            ("a:b:**:d", "a:b:x:d", False),
            ("a:*:c:d", "a:x:c:e", False),
            (":::", ":::", True),
            ("a:b:c:d", "a:b:c:d\x00", False),
            ("a:b:c:d\x00", "a:b:c:d", False),
        ],
    )
    def test_covers(self, granted, requested, result):
        assert Scope(granted).covers(Scope(requested)) is result

    def test_covers_takes_a_scope(self):
        scope = Scope("mcp:tool:*:read")
        assert scope.covers(requested=Scope("mcp:tool:x:read")) is True
        with pytest.raises(TypeError) as e:
            scope.covers("mcp:tool:fs:read")
        assert str(e.value) == "argument 'requested': 'str' object cannot be converted to 'Scope'"
        with pytest.raises(TypeError) as e:
            scope.covers()
        assert str(e.value) == "Scope.covers() missing 1 required positional argument: 'requested'"

    def test_constructor_arguments(self):
        assert str(Scope(scope_str="a:b:c:d")) == "a:b:c:d"
        with pytest.raises(TypeError) as e:
            Scope(5)
        assert str(e.value) == (
            "argument 'scope_str': 'int' object cannot be converted to 'PyString'"
        )
        with pytest.raises(TypeError) as e:
            Scope()
        assert str(e.value) == "Scope.__new__() missing 1 required positional argument: 'scope_str'"

    def test_docs_and_attributes(self):
        assert Scope.__doc__ is None
        # Python 3.9 drops a class's text signature when it builds a type from a spec.
        if sys.version_info >= (3, 10):
            assert Scope.__text_signature__ == "(scope_str)"
        assert Scope.covers.__text_signature__ == "($self, requested)"
        assert Scope.covers.__doc__ is None
        scope = Scope("a:b:c:d")
        for part in ("namespace", "protocol", "resource", "action"):
            assert not hasattr(scope, part)
