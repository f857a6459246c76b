"""quorvex token issue, inspect and verify, run as a subprocess."""

import json
import time

import pytest
from cli_helpers import SUBJECT, alice, check_json_failure, home, run  # noqa: F401 (fixtures)
from tokens import HEADER, b64u, claims, compact_json, segments, signed

from quorvex import DAT, KeyPair


@pytest.fixture(scope="module")
def token(home, alice):
    code, out, err = run(home, "token", "issue", "--identity", alice["dir"], "--subject", SUBJECT,
                         "--scope", "mcp:tool:fs:read", "--scope", "mcp:tool:search:*")
    assert (code, err) == (0, ""), err
    return out.strip()


def claims_with(tail):
    """A signed token whose claims are those of time 0 with tail written before the final '}'."""
    return signed(HEADER, compact_json(claims(now=0))[:-1] + tail + "}", KeyPair.generate())


def nested(depth):
    """An array nested depth levels deep."""
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


SERIALIZATION = "QuorvexError: serialization error: "
# The claims of claims_with end at this column; what is appended is reported after it.
END = len(compact_json(claims(now=0)))

# Every member a token's claims can carry, as written.
EVERY_CONSTRAINT = {
    "maxActions": 2**64 - 1, "allowedServers": ["mcp.example.com"], "requireReceipt": False,
    "rateLimit": {"max_actions": 5, "window_secs": 86400}, "ipAllowlist": ["10.0.0.0/8"],
    "ipDenylist": [], "minTrustLevel": 3, "maxDelegationDepth": 1, "allowedCountries": ["DE"],
    "timeWindows": [{"start_hour": 9, "end_hour": 17, "days_of_week": [0, 1]},
                    {"start_hour": 22, "end_hour": 6}],
    "requiredConfigHash": "ab" * 32,
}
EVERY_CLAIM = claims(now=-5, constraints=EVERY_CONSTRAINT, configAttestation="att\u00e9",
                     delegationChain=["did:aid:test:root", "did:aid:test:issuer"])


class TestTokenIssue:
    def test_issue_prints_a_compact_token_signed_by_the_identity(self, alice, token):
        dat = DAT.from_compact(token)
        assert (dat.issuer, dat.subject, dat.scope) == (
            "did:aid:agents.test:alice", SUBJECT, ["mcp:tool:fs:read", "mcp:tool:search:*"])
        assert 3598 <= dat.expires_at - int(time.time()) <= 3600
        assert dat.verify_signature(alice["identity"].public_key_bytes)

    def test_issue_expires_and_json(self, home, alice):
        code, out, err = run(home, "token", "issue", "--identity", alice["dir"], "--subject",
                             SUBJECT, "--scope", "a:b:c:d", "--expires", "60", "--json")
        assert (code, err) == (0, "")
        printed = json.loads(out)
        dat = DAT.from_compact(printed["token"])
        assert printed == {"token": dat.to_compact(), "jti": dat.jti,
                           "issuer": "did:aid:agents.test:alice", "subject": SUBJECT,
                           "scope": ["a:b:c:d"], "expires_at": dat.expires_at}
        assert 58 <= dat.expires_at - int(time.time()) <= 60

    def test_issue_with_constraints(self, home, alice):
        code, out, err = run(
            home, "token", "issue", "--identity", alice["dir"], "--subject", SUBJECT, "--scope",
            "a:b:c:d", "--expires", "60", "--max-actions", str(2**64 - 1), "--server", "s1",
            "--server", "s2", "--require-receipt", "--rate-limit", "5/86400", "--allow-ip",
            "10.0.0.0/8", "--allow-ip", "::1", "--deny-ip", "10.9.0.0/16", "--min-trust", "2",
            "--max-depth", "0", "--country", "DE", "--country", "fr", "--time-window",
            "9-17:0,1,2,3,4", "--time-window", "22-6", "--config-hash", "ab" * 32,
            "--config-attestation", "att\u00e9")
        assert (code, err) == (0, "")
        dat = DAT.from_compact(out.strip())
        assert dat.constraints == {
            "maxActions": 2**64 - 1, "allowedServers": ["s1", "s2"], "requireReceipt": True,
            "rateLimit": {"max_actions": 5, "window_secs": 86400},
            "ipAllowlist": ["10.0.0.0/8", "::1"], "ipDenylist": ["10.9.0.0/16"],
            "minTrustLevel": 2, "maxDelegationDepth": 0, "allowedCountries": ["DE", "fr"],
            "timeWindows": [{"start_hour": 9, "end_hour": 17, "days_of_week": [0, 1, 2, 3, 4]},
                            {"start_hour": 22, "end_hour": 6}],
            "requiredConfigHash": "ab" * 32}
        assert dat.config_attestation == "att\u00e9"
        assert (dat.issuer, dat.subject, dat.scope) == (
            "did:aid:agents.test:alice", SUBJECT, ["a:b:c:d"])
        assert 58 <= dat.expires_at - int(time.time()) <= 60
        assert dat.verify_signature(alice["identity"].public_key_bytes)
        # An attestation alone, and the default lifetime.
        code, out, err = run(home, "token", "issue", "--identity", alice["dir"], "--subject",
                             SUBJECT, "--scope", "a:b:c:d", "--config-attestation", "x")
        dat = DAT.from_compact(out.strip())
        assert (code, err, dat.constraints, dat.config_attestation) == (0, "", {}, "x")
        assert 3598 <= dat.expires_at - int(time.time()) <= 3600

    @pytest.mark.parametrize("args,code,message", [
        (["--allow-ip", "10.0.0.0/33"], 1,
         'ipAllowlist entry "10.0.0.0/33" is no address or network'),
        (["--scope", "read", "--max-depth", "0"], 1,
         'scope entry "read" does not have 4 parts (namespace:protocol:resource:action)'),
        (["--time-window", "9-24"], 1, "timeWindows[0].end_hour 24 is above 23"),
        (["--rate-limit", "5"], 2, "argument --rate-limit: not MAX/WINDOW_SECS: 5"),
        (["--time-window", "9-17:"], 2, "argument --time-window: not START-END[:DAYS]: 9-17:"),
        (["--min-trust", "256"], 2, "argument --min-trust: 256 is out of range (0 to 255)"),
        (["--max-actions", "-1"], 2, "argument --max-actions: not a number: -1"),
    ])
    def test_issue_refusals(self, home, tmp_path, alice, args, code, message):
        check_json_failure(home, tmp_path, ["token", "issue", "--identity", str(alice["dir"]),
                                            "--subject", SUBJECT, "--scope", "a:b:c:d", *args],
                           code, message)


class TestTokenInspect:
    def test_inspect_shows_header_and_claims_unchecked(self, home, token):
        header = {"alg": "EdDSA", "kid": "did:aid:agents.test:alice#key-ed25519"}
        body = json.loads(segments(token)[1])
        assert run(home, "token", "inspect", token) == (0, (
            "NOT VERIFIED: shown as decoded; the signature, timing and scopes are not checked.\n"
            "header:\n" + json.dumps(header, indent=2) + "\n"
            "claims:\n" + json.dumps(body, indent=2) + "\n"), "")
        code, out, err = run(home, "token", "inspect", "-", "--json", stdin=token + "\n")
        assert (code, json.loads(out), err) == (
            0, {"verified": False, "header": header, "claims": body}, "")

    def test_inspect_shows_what_the_module_read(self, home):
        # A forged, long expired token is still shown; members the token does not know are not.
        text = signed('{"alg":"EdDSA","typ":"other","kid":"k"}',
                      {**EVERY_CLAIM, "exp": 0, "x": nested(100)}, KeyPair.generate())
        code, out, err = run(home, "token", "inspect", text, "--json")
        unread = "InvalidDatError: invalid DAT: compact JWS must have 3 parts"
        assert (code, json.loads(out), err) == (
            0, {"verified": False, "header": {"alg": "EdDSA", "kid": "k"},
                "claims": {**EVERY_CLAIM, "exp": 0},
                "chain": [{"link": 0, "error": unread}, {"link": 1, "error": unread}]}, "")
        # Empty constraints, and an absent attestation and chain, are left out.
        code, out, _ = run(home, "token", "inspect", claims_with(',"constraints":{}'), "--json")
        assert (code, json.loads(out)["claims"]) == (0, claims(now=0))

    @pytest.mark.parametrize("text,message", [
        ("a.b", "InvalidDatError: invalid DAT: compact JWS must have 3 parts"),
        ("@@.e30.x", "InvalidDatError: invalid DAT: header decode: Invalid symbol 64, offset 0."),
        (b64u(HEADER) + "." + b64u("not json") + ".AAAA",
         SERIALIZATION + "syntax error while parsing value - invalid literal; last read: 'no' "
         "at line 1 column 2"),
        (b64u('{"alg":"none","typ":"t","kid":"k"}') + ".e30.AAAA",
         "InvalidDatError: invalid DAT: unsupported algorithm 'none': only 'EdDSA' is permitted"),
    ])
    def test_inspect_prints_the_module_refusal(self, home, text, message):
        assert run(home, "token", "inspect", text) == (1, "", f"quorvex: {message}\n")


# A token with one constraint for each context option, and the options that satisfy them all.
CONSTRAINTS = {"ipDenylist": ["10.0.0.0/8"], "allowedCountries": ["DE"], "minTrustLevel": 2,
               "maxDelegationDepth": 0, "rateLimit": {"max_actions": 5, "window_secs": 3600}}
PASSING = ["--ip", "192.168.0.1", "--country", "de", "--trust", "2", "--depth", "0",
           "--actions", "4"]


class TestTokenVerify:
    @pytest.mark.parametrize("form", ["multibase", "hex", "HEX", "dir"])
    def test_each_key_form_accepts(self, home, alice, token, form):
        key = alice["hex"].upper() if form == "HEX" else alice[form]
        assert run(home, "token", "verify", token, "--key", key, "--scope", "mcp:tool:fs:read") == (
            0, f"accepted: mcp:tool:fs:read for {SUBJECT}, issued by did:aid:agents.test:alice\n",
            "")

    def test_token_from_stdin_and_json(self, home, alice, token):
        code, out, err = run(home, "token", "verify", "-", "--key", alice["multibase"], "--scope",
                             "mcp:tool:search:web", "--json", stdin=token + "\n")
        assert (code, err) == (0, "")
        assert json.loads(out) == {"accepted": True, "jti": DAT.from_compact(token).jti,
                                   "issuer": "did:aid:agents.test:alice", "subject": SUBJECT,
                                   "scope": "mcp:tool:search:web"}
        code, out, err = run(home, "token", "verify", token, "--key", alice["hex"], "--scope",
                             "mcp:tool:fs:write", "--json")
        assert (code, json.loads(out), err) == (
            1, {"accepted": False, "error": "ScopeNotCovered", "ok": False, "code": 1},
            "quorvex: ScopeNotCovered\n")

    @pytest.mark.parametrize("change,message", [
        ([], None),
        (["--ip", "10.1.2.3"], 'IpBlocked { ip: "10.1.2.3", reason: "IP in denied list" }'),
        (["--country", "FR"], 'GeofenceViolation { country: "FR", allowed: ["DE"] }'),
        (["--trust", "1"], 'InsufficientTrustLevel { required: "L2", actual: "L1" }'),
        (["--depth", "1"], "DelegationDepthExceeded { max_depth: 0, actual_depth: 1 }"),
        (["--actions", "5"], 'RateLimitExceeded { limit_type: "hourly", limit: 5, current: 5 }'),
    ])
    def test_context_options_reach_the_checks(self, home, change, message):
        key = KeyPair.generate()
        text = signed(HEADER, claims(scope=["a:b:c:*"], constraints=CONSTRAINTS), key)
        code, out, err = run(home, "token", "verify", text, "--key", key.public_key_bytes.hex(),
                             "--scope", "a:b:c:d", *PASSING, *change)
        if message is None:
            assert (code, err) == (0, "")
        else:
            assert (code, out, err) == (1, "", f"quorvex: {message}\n")

    def test_refusals_print_the_module_message(self, home, alice, token):
        expired = DAT.issue("did:aid:agents.test:alice", SUBJECT, ["a:b:c:d"], -10,
                            alice["identity"].keypair()).to_compact()
        other = KeyPair.generate().public_key_multibase
        for text, key, scope, message in [
            (token, other, "mcp:tool:fs:read",
             "VerificationFailedError: signature verification failed: signature error: "
             "Verification equation was not satisfied. "
             "Fix: Ensure the correct public key is used."),
            (token, alice["multibase"], "mcp:tool:fs:write", "ScopeNotCovered"),
            (expired, alice["multibase"], "a:b:c:d", "Expired"),
            ("abc", alice["multibase"], "a:b:c:d",
             "InvalidDatError: invalid DAT: compact JWS must have 3 parts"),
            (token, "02" + "00" * 31, "mcp:tool:fs:read",
             "QuorvexError: invalid key material: signature error: "
             "Cannot decompress Edwards point"),
        ]:
            assert run(home, "token", "verify", text, "--key", key, "--scope", scope) == (
                1, "", f"quorvex: {message}\n"), message

    @pytest.mark.parametrize("args,message", [
        (["--key", "nope"], "argument --key: not a multibase public key, 64 hex digits or an "
                            "identity directory: nope"),
        (["--key", "a" * 63], "argument --key: not a multibase public key, 64 hex digits or an "
                              "identity directory: " + "a" * 63),
        (["--key", "z" + "2" * 20], "argument --key: not a multibase public key, 64 hex digits or "
                                    "an identity directory: z" + "2" * 20),
        (["--trust", "256"], "argument --trust: 256 is out of range"),
        (["--depth", "-1"], "argument --depth: -1 is out of range"),
        (["--actions", str(2**64)], f"argument --actions: {2**64} is out of range"),
    ])
    def test_unusable_values_exit_2(self, home, alice, args, message):
        code, out, err = run(home, "token", "verify", "x.y.z", "--key", alice["hex"], "--scope",
                             "a:b:c:d", *args)
        assert (code, out) == (2, "")
        assert err.startswith(f"quorvex: error: {message}"), err

    def test_a_directory_without_an_identity_is_the_module_refusal(self, home, tmp_path):
        assert run(home, "token", "verify", "x.y.z", "--key", tmp_path, "--scope", "a:b:c:d") == (
            1, "", f"quorvex: {tmp_path}: Failed to read key: No such file or directory "
                   "(os error 2)\n")


class TestNoTraceback:
    @pytest.mark.parametrize("args,code,message", [
        (["token", "verify", "x.y.z", "--key", "00" * 32, "--scope", "a:b:c:d", "--ip",
          b"\xff"], 2, "error: argument 9 is not UTF-8 text: \\xff"),
        (["token", "inspect", b"a\xc3"], 2, "error: argument 3 is not UTF-8 text: a\\xc3"),
        # Texts Python's own JSON reader would take or choke on are the module's to refuse.
        (["token", "inspect", claims_with(',"x":"\\ud800"')], 1,
         SERIALIZATION + "syntax error while parsing value - invalid string: surrogate "
         "U+D800..U+DBFF must be followed by U+DC00..U+DFFF; last read: '\"\\ud800\"' at line 1 "
         f"column {END + 12}"),
        (["token", "inspect", claims_with(',"\\udfff":1')], 1,
         SERIALIZATION + "syntax error while parsing object key - invalid string: surrogate "
         "U+DC00..U+DFFF must follow U+D800..U+DBFF; last read: '\"\\udfff'; expected string "
         f"literal at line 1 column {END + 7}"),
        (["token", "inspect", claims_with(',"x":NaN')], 1,
         SERIALIZATION + "syntax error while parsing value - invalid literal; last read: "
         f"'\"x\":N' at line 1 column {END + 5}"),
        (["token", "inspect", claims_with(',"x":-Infinity')], 1,
         SERIALIZATION + "syntax error while parsing value - invalid number; expected digit "
         f"after '-'; last read: '-I' at line 1 column {END + 6}"),
        (["token", "inspect", claims_with(',"x":1e999')], 1,
         SERIALIZATION + f"number overflow parsing '1e999' at line 1 column {END + 9}"),
    ])
    def test_a_crashing_input_is_one_line(self, home, args, code, message):
        assert run(home, *args) == (code, "", f"quorvex: {message}\n")


@pytest.mark.parametrize("args,code,message", [
    (["token", "issue", "--identity", "{tmp}/none", "--subject", SUBJECT, "--scope", "a:b:c:d"],
     1, "{tmp}/none: Failed to read key: No such file or directory (os error 2)"),
    (["token", "inspect", "a.b"], 1,
     "InvalidDatError: invalid DAT: compact JWS must have 3 parts"),
    (["token", "inspect", claims_with(',"x":NaN')], 1,
     SERIALIZATION + "syntax error while parsing value - invalid literal; last read: "
     f"'\"x\":N' at line 1 column {END + 5}"),
    (["token", "verify", "x.y.z", "--key", "nope", "--scope", "a:b:c:d"], 2,
     "argument --key: not a multibase public key, 64 hex digits or an identity directory: "
     "nope"),
    (["token", "inspect", b"\xff"], 2, "argument 3 is not UTF-8 text: \\xff"),
])
def test_a_failure_prints_one_json_object(home, tmp_path, args, code, message):
    check_json_failure(home, tmp_path, args, code, message)


class TestInputs:
    @pytest.mark.parametrize("args", [
        ["token", "verify", "{in}", "--key", "00" * 32, "--scope", "a:b:c:d"],
        ["token", "inspect", "{in}"],
    ])
    def test_text_that_is_no_utf8_exits_2_whatever_its_source(self, home, args):
        data = b"[\xff].b.c"
        assert run(home, *[data if a == "{in}" else a for a in args]) == (
            2, "", "quorvex: error: argument 3 is not UTF-8 text: [\\xff].b.c\n")
        assert run(home, *["-" if a == "{in}" else a for a in args], stdin=data) == (
            2, "", "quorvex: error: cannot read standard input: not UTF-8 text (byte 0xff at "
                   "offset 1)\n")

    def test_a_token_past_64_kib_is_named_not_read(self, home):
        with open("/dev/zero", "rb") as zero:
            assert run(home, "token", "inspect", "-", stdin=zero) == (
                2, "", "quorvex: error: cannot read standard input: larger than 64 KiB\n")
        assert run(home, "token", "inspect", "a" * (64 * 1024 + 1)) == (
            2, "", "quorvex: error: argument TOKEN: larger than 64 KiB\n")

    def test_a_long_multibase_key_is_refused(self, home, alice, token):
        long_key = "z" + "2" * 100_000
        assert run(home, "token", "verify", token, "--key", long_key, "--scope", "a:b:c:d") == (
            2, "", "quorvex: error: argument --key: not a multibase public key, 64 hex digits "
                   f"or an identity directory: {long_key}\n")
