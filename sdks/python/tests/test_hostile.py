"""Hostile Python input: every fault here once got through the binding."""

import json
import re
import subprocess
import sys
import textwrap

import pytest

import quorvex
from tokens import claims, signed

KEY = quorvex.KeyPair.from_secret_bytes(bytes(range(32)))


def run_python(code):
    """Runs code in a fresh interpreter (it changes the classes or the process)."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout


class NulIndex:
    def __index__(self):
        raise TypeError("bad\x00index \ud800")


class OddName:
    pass


OddName.__qualname__ = "by\x00tes\ud800"


class TestWholeErrorTexts:
    @pytest.mark.parametrize(
        "call, kind, message",
        [
            (lambda: quorvex.TrustLevel("L1\x00"), ValueError,
             "Invalid trust level 'L1\x00'. Must be L0, L1, L2, L3, or L4."),
            (lambda: quorvex.DAT.from_compact(signed(
                '{"alg":"EdDSA\\u0000x","typ":"quorvex-dat+jwt","kid":"k"}', claims(), KEY)),
             ValueError,
             "InvalidDatError: invalid DAT: unsupported algorithm 'EdDSA\x00x': "
             "only 'EdDSA' is permitted"),
            (lambda: KEY.sign(OddName()), TypeError,
             "argument 'message': 'by\x00tes\ud800' object cannot be converted to 'PyBytes'"),
            (lambda: quorvex.DAT.issue("a", "b", ["a:b:c:d"], 60, KEY, max_actions=NulIndex()),
             TypeError, "argument 'max_actions': bad\x00index \ud800"),
        ],
        ids=["value-error", "core-error", "type-name", "converter-error"],
    )
    def test_message_arrives_whole(self, call, kind, message):
        with pytest.raises(kind) as e:
            call()
        assert e.value.args == (message,)


class TestKeywordNames:
    @pytest.mark.parametrize("name", ["message\x00junk", "message\x00", "\ud800", "mess\udcffage"])
    def test_name_is_compared_and_quoted_whole(self, name):
        with pytest.raises(TypeError) as e:
            KEY.sign(**{name: b"m"})
        assert str(e.value) == f"KeyPair.sign() got an unexpected keyword argument '{name}'"

    def test_names_cut_at_nul_do_not_reach_parameters(self):
        sig = KEY.sign(b"m")
        with pytest.raises(TypeError, match=r"^KeyPair\.verify\(\) got an unexpected keyword"):
            KEY.verify(**{"message\x00junk": b"m", "signature\x00": sig})


class LyingList(list):
    def __len__(self):
        return 2**62


class ShortList(list):
    def __len__(self):
        return 0


class RaisingTuple(tuple):
    def __len__(self):
        raise ValueError("no length")


class TestSequenceLengths:
    @pytest.mark.parametrize("kind", [LyingList, ShortList, RaisingTuple])
    def test_reported_length_is_ignored(self, kind):
        token = quorvex.DAT.issue("a", "b", kind(["a:b:c:d", "e:f:g:h"]), 60, KEY)
        assert token.scope == ["a:b:c:d", "e:f:g:h"]

    def test_no_argument_value_raises_panic_exception(self):
        dat = quorvex.DAT.issue("a", "b", ["a:b:c:d"], 60, KEY)
        ctx = quorvex.EvaluationContext()
        level = quorvex.TrustLevel("L1")
        scope = quorvex.Scope("a:b:c:d")
        calls = {
            quorvex.KeyPair.from_secret_bytes: [bytes(32)],
            KEY.sign: [b"m"],
            KEY.verify: [b"m", bytes(64)],
            quorvex.TrustLevel: ["L1"],
            level.meets_minimum: [level],
            quorvex.Scope: ["a:b:c:d"],
            scope.covers: [scope],
            quorvex.DAT.issue: ["a", "b", ["a:b:c:d"], 60, KEY, 1, True, 1, 1],
            quorvex.DAT.from_compact: [dat.to_compact()],
            dat.verify: [KEY.public_key_bytes, "a:b:c:d", ctx],
            dat.verify_signature: [KEY.public_key_bytes],
        }
        for name in ("request_ip", "country_code", "delegation_depth", "actions_in_window",
                     "agent_config_hash", "agent_trust_level"):
            calls[lambda value, name=name: setattr(ctx, name, value)] = [None]
        hostile = [None, 0, -1, 2**64, -(2**63) - 1, 2**200, NulIndex(), "", "\x00", "\ud800",
                   "a" * 100_000, b"", b"\x00" * 33, bytearray(32), [], ["\ud800"],
                   LyingList(["a:b:c:d"]), RaisingTuple(), [[]], 1.5, object()]
        for call, good in calls.items():
            for i in range(len(good)):
                for value in hostile:
                    args = list(good)
                    args[i] = value
                    try:
                        call(*args)
                    except Exception:
                        pass  # any ordinary exception is fine; PanicException is not one


class TestTextAfterNul:
    """A NUL ends no text: what follows it is read, and the NUL is refused where it stands."""

    def test_aid_from_json(self):
        b = quorvex.AIDBuilder()
        b.id("did:aid:agents.test:bot")
        b.controller("did:aid:agents.test:owner")
        b.name("bot")
        b.add_ed25519_key(KEY)
        doc = json.loads(b.build().to_json())
        doc["@context"] = doc.pop("@context")  # the text then ends the same way every time
        text = json.dumps(doc)
        with pytest.raises(ValueError) as raised:
            quorvex.AID.from_json(text + " \x00 anything")
        assert str(raised.value) == (
            "Invalid AID JSON: syntax error while parsing value - invalid literal; last read: "
            "'\"https://quorvex.dev/ns/aid/v1\"]} <U+0000>'; expected end of input at line 1 "
            f"column {len(text) + 2}")

    @pytest.mark.parametrize("where, position", [("after", "34 column 2"),
                                                 ("inside", "18 column 2")])
    def test_receipt_log_audit(self, where, position):
        log = quorvex.ReceiptLog()
        for tool in ("a", "b"):
            log.append("did:aid:a.b:agent", "dat_1", tool, b"", KEY)
        text = log.to_json()
        if where == "after":
            text += "\x00 anything"
        else:  # the first receipt closed as a whole log, the second after a NUL
            end = text.index("\n  },\n") + len("\n  }")
            text = text[:end] + "\n]\x00" + text[end:]
        with pytest.raises(ValueError) as raised:
            quorvex.ReceiptLog.audit(text, KEY.public_key_bytes)
        # The quotation keeps the end of the signature before the NUL.
        assert re.fullmatch(
            r"Invalid receipt log JSON: syntax error while parsing value - invalid literal; "
            r"last read: '\.\.\.[0-9a-f]{35}\"<U\+000A>  }<U\+000A>\]<U\+0000>'; "
            r"expected end of input at line " + position, str(raised.value))


# Run in a fresh interpreter: replacing __new__ cannot be undone cleanly.
UNBUILT = """
import json, quorvex
from quorvex import DAT, EvaluationContext, KeyPair, Scope, TrustLevel
key = KeyPair.generate()
level, scope = TrustLevel("L1"), Scope("a:b:c:d")
token = DAT.issue("a", "b", ["a:b:c:d"], 60, key)
for cls in (KeyPair, TrustLevel, Scope, DAT, EvaluationContext):
    cls.__new__ = staticmethod(lambda cls: object.__new__(cls))
bare = {cls.__name__: cls() for cls in (KeyPair, TrustLevel, Scope, DAT, EvaluationContext)}
k, t, s, d, c = bare.values()
calls = {
    "KeyPair": [lambda: k.sign(b"m"), lambda: k.verify(b"m", bytes(64)),
                lambda: k.public_key_bytes, lambda: k.public_key_multibase, lambda: repr(k)],
    "TrustLevel": [lambda: t.meets_minimum(level), lambda: t.description, lambda: repr(t),
                   lambda: str(t)],
    "Scope": [lambda: s.covers(scope), lambda: repr(s), lambda: str(s)],
    "DAT": [lambda: d.to_compact(), lambda: d.verify(bytes(32)), lambda: d.verify_signature(bytes(32)),
            lambda: d.validate_timing(), lambda: d.issuer, lambda: d.subject, lambda: d.jti,
            lambda: d.scope, lambda: d.expires_at, lambda: d.is_expired, lambda: repr(d)],
    "EvaluationContext": [lambda: c.request_ip, lambda: setattr(c, "request_ip", "10.0.0.1"),
                          lambda: setattr(c, "agent_trust_level", 2), lambda: repr(c)],
    "argument": [lambda: level.meets_minimum(t), lambda: scope.covers(s),
                 lambda: DAT.issue("a", "b", ["a:b:c:d"], 60, k),
                 lambda: token.verify(key.public_key_bytes, "", c)],
}
out = {}
for name, fns in calls.items():
    for fn in fns:
        try:
            fn()
            out.setdefault(name, []).append("returned")
        except BaseException as e:
            out.setdefault(name, []).append(type(e).__name__ + ": " + str(e))
del bare, k, t, s, d, c  # dealloc of never-built values
print(json.dumps(out))
"""


class TestUnbuiltInstances:
    def test_replaced_new_gives_instances_that_refuse_every_use(self):
        out = json.loads(run_python(UNBUILT))
        for name in ("KeyPair", "TrustLevel", "Scope", "DAT", "EvaluationContext"):
            assert set(out[name]) == {f"TypeError: {name} object is not initialized"}, name
        assert out["argument"] == [
            "TypeError: argument 'required': TrustLevel object is not initialized",
            "TypeError: argument 'requested': Scope object is not initialized",
            "TypeError: argument 'signing_key': KeyPair object is not initialized",
            "TypeError: argument 'ctx': EvaluationContext object is not initialized",
        ]


SUB_CODE = ("import sys\n"
            "try:\n    import quorvex\n    print('sub:ok')\n"
            "except ImportError:\n    print('sub:ImportError')\n"
            "sys.stdout.flush()\n")

RUNNERS = {
    "legacy": """
        import _testcapi
        def run(code):
            assert _testcapi.run_in_subinterp(code) == 0
        """,
    "isolated": """
        try:
            import _interpreters as interps
        except ImportError:
            import _xxsubinterpreters as interps
        def run(code):
            interps.run_string(interps.create(), code)
        """,
}


def has_subinterpreters(kind):
    try:
        if kind == "legacy":
            import _testcapi
            return hasattr(_testcapi, "run_in_subinterp")
        try:
            import _interpreters  # noqa: F401
        except ImportError:
            import _xxsubinterpreters  # noqa: F401
        return True
    except ImportError:
        return False


class TestSubInterpreters:
    @pytest.mark.parametrize("kind", ["legacy", "isolated"])
    @pytest.mark.parametrize("main_first", [False, True], ids=["sub-first", "main-first"])
    def test_import_works_or_fails_there_and_main_keeps_working(self, kind, main_first):
        if not has_subinterpreters(kind):
            pytest.skip(f"this interpreter offers no {kind} sub-interpreters")
        code = (("import quorvex\n" if main_first else "")
                + "import sys\n" + textwrap.dedent(RUNNERS[kind])
                + f"sys.stdout.flush()\nrun({SUB_CODE!r})\n"
                + "import quorvex\nprint('main:' + str(quorvex.TrustLevel('L2')))\n")
        assert run_python(code).splitlines() in (["sub:ok", "main:L2"],
                                                 ["sub:ImportError", "main:L2"])
