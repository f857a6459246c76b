"""The quorvex command, run as a subprocess: what it prints, where, and its exit codes."""

import functools
import importlib.util
import io
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest
from tokens import HEADER, b64u, claims, segments, signed

from quorvex import DAT, AgentIdentity, KeyPair, ReceiptLog

# The installed console script when the CLI module is installed next to quorvex (the wheel);
# otherwise the module from the checkout, run against whichever quorvex is on the path.
_SCRIPT = Path(sys.executable).with_name("quorvex")
if importlib.util.find_spec("quorvex_cli") is not None:
    COMMAND = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "quorvex_cli"]
    PYTHONPATH = os.environ.get("PYTHONPATH")
else:
    COMMAND = [sys.executable, "-m", "quorvex_cli"]
    PYTHONPATH = os.pathsep.join(
        p for p in (str(Path(__file__).resolve().parents[1]), os.environ.get("PYTHONPATH")) if p)

SUBJECT = "did:aid:agents.test:bob"


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    return tmp_path_factory.mktemp("home")


def run(home, *args, stdin=None, cwd=None, stdout=subprocess.PIPE):
    """The command's exit code, stdout and stderr; bytes arguments and stdin pass unchanged."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["HOME"] = str(home)
    if PYTHONPATH:
        env["PYTHONPATH"] = PYTHONPATH
    argv = [os.fsencode(a) if isinstance(a, (bytes, Path)) else str(a).encode() for a in args]
    options = {"stdin": stdin} if hasattr(stdin, "fileno") else {
        "input": stdin.encode() if isinstance(stdin, str) else stdin}
    done = subprocess.run([os.fsencode(c) for c in COMMAND] + argv, stdout=stdout,
                          stderr=subprocess.PIPE, env=env, cwd=cwd or home, timeout=120, **options)
    return done.returncode, (done.stdout or b"").decode(), done.stderr.decode()


@pytest.fixture(scope="module")
def alice(home):
    """A saved identity made by the command, with its keys in each accepted --key form."""
    directory = home / "alice"
    code, out, err = run(home, "identity", "create", "alice", "--domain", "agents.test", "--dir",
                         directory)
    assert (code, err) == (0, ""), err
    loaded = AgentIdentity.load(str(directory))
    return {"dir": directory, "out": out, "identity": loaded,
            "multibase": loaded.keypair().public_key_multibase,
            "hex": loaded.public_key_bytes.hex()}


@pytest.fixture(scope="module")
def token(home, alice):
    code, out, err = run(home, "token", "issue", "--identity", alice["dir"], "--subject", SUBJECT,
                         "--scope", "mcp:tool:fs:read", "--scope", "mcp:tool:search:*")
    assert (code, err) == (0, ""), err
    return out.strip()


class TestIdentity:
    def test_create_prints_the_saved_identity(self, alice):
        identity = alice["identity"]
        assert alice["out"] == (
            "did:        did:aid:agents.test:alice\n"
            f"public key: {alice['multibase']}\n"
            f"directory:  {alice['dir']}\n"
            "document:\n" + identity.aid().to_json() + "\n")
        assert (alice["dir"] / "aid.json").read_text() == identity.aid().to_json()

    def test_show_prints_what_create_printed(self, home, alice):
        assert run(home, "identity", "show", alice["dir"]) == (0, alice["out"], "")
        assert run(home, "identity", "show", cwd=alice["dir"]) == (0, alice["out"], "")
        code, out, _ = run(home, "identity", "show", alice["dir"], "--json")
        assert code == 0
        assert json.loads(out) == {
            "did": "did:aid:agents.test:alice", "public_key_multibase": alice["multibase"],
            "directory": str(alice["dir"]),
            "document": json.loads(alice["identity"].aid().to_json())}

    def test_create_saves_under_home_and_never_over_an_identity(self, home):
        code, out, err = run(home, "identity", "create", "carol", "--json")
        default = home / ".quorvex" / "identities" / "carol"
        assert (code, err) == (0, "")
        assert json.loads(out)["directory"] == str(default)
        assert json.loads(out)["did"] == "did:aid:agents.quorvex.dev:carol"
        key = (default / "secret.key").read_text()
        for args in (["carol"], ["dave", "--dir", default],
                     ["dave", "--dir", "~/.quorvex/identities/carol"]):
            assert run(home, "identity", "create", *args) == (
                1, "", f"quorvex: {default} already holds an identity (secret.key); "
                       "remove it or choose another --dir\n")
        assert (default / "secret.key").read_text() == key

    @pytest.mark.parametrize("args,message", [
        (["identity", "create", "Alice", "--dir", "{tmp}/x"],
         "InvalidAidError: invalid AID identifier: local name must be lowercase alphanumeric "
         "with hyphens: Alice"),
        (["identity", "create", "bob", "--domain", "localhost", "--dir", "{tmp}/x"],
         "InvalidAidError: invalid AID identifier: invalid domain: localhost"),
        (["identity", "show", "{tmp}/none"],
         "{tmp}/none: Failed to read key: No such file or directory (os error 2)"),
        (["token", "issue", "--identity", "{tmp}/none", "--subject", SUBJECT, "--scope", "a:b:c:d"],
         "{tmp}/none: Failed to read key: No such file or directory (os error 2)"),
    ])
    def test_refusals_print_the_module_message(self, home, tmp_path, args, message):
        args = [a.replace("{tmp}", str(tmp_path)) for a in args]
        message = message.replace("{tmp}", str(tmp_path))
        assert run(home, *args) == (1, "", f"quorvex: {message}\n")
        assert not (tmp_path / "x").exists()


class TestTokenIssueAndInspect:
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

    def test_inspect_shows_header_and_claims_unchecked(self, home, token):
        header, body = (json.loads(part) for part in segments(token))
        assert header["kid"] == "did:aid:agents.test:alice#key-ed25519"
        assert run(home, "token", "inspect", token) == (0, (
            "NOT VERIFIED: shown as decoded; the signature, timing and scopes are not checked.\n"
            "header:\n" + json.dumps(header, indent=2) + "\n"
            "claims:\n" + json.dumps(body, indent=2) + "\n"), "")
        code, out, err = run(home, "token", "inspect", "-", "--json", stdin=token + "\n")
        assert (code, json.loads(out), err) == (
            0, {"verified": False, "header": header, "claims": body}, "")
        # A token that would fail every check is still shown.
        forged = signed({"alg": "none"}, {"exp": 0}, KeyPair.generate())
        code, out, _ = run(home, "token", "inspect", forged, "--json")
        assert (code, json.loads(out)["claims"]) == (0, {"exp": 0})

    @pytest.mark.parametrize("text,message", [
        ("a.b", "2 parts separated by '.', not 3"),
        ("@@.e30.x", "cannot decode its header: not base64url"),
        ("e30.bm90IGpzb24.x",
         "cannot decode its claims: Expecting value: line 1 column 1 (char 0)"),
    ])
    def test_inspect_refuses_what_is_no_compact_token(self, home, text, message):
        assert run(home, "token", "inspect", text) == (
            1, "", f"quorvex: not a compact token: {message}\n")


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


@pytest.fixture(scope="module")
def printed(home, alice):
    log = ReceiptLog()
    for i in range(3):
        log.append(SUBJECT, "dat_1", "mcp:tool-call", b"in%d" % i, alice["identity"].keypair())
    path = home / "log.json"
    path.write_text(log.to_json(), encoding="utf-8")
    return path


class TestReceiptsVerify:
    def test_a_printed_log_checks_out(self, home, alice, printed):
        code, out, err = run(home, "receipts", "verify", printed, "--key", alice["multibase"])
        assert (code, out, err) == (0, "valid: 3 receipts, every link and signature checked\n", "")
        code, out, err = run(home, "receipts", "verify", "-", "--key", alice["dir"], "--json",
                             stdin=printed.read_text(encoding="utf-8"))
        assert (code, json.loads(out), err) == (0, {"valid": True, "receipts": 3}, "")

    def test_an_edited_receipt_is_named(self, home, alice, printed):
        receipts = json.loads(printed.read_text(encoding="utf-8"))
        receipts[1]["action"]["status"] = "failed"
        edited = home / "edited.json"
        edited.write_text(json.dumps(receipts, indent=2, ensure_ascii=False), encoding="utf-8")
        code, out, err = run(home, "receipts", "verify", edited, "--key", alice["hex"])
        assert (code, out) == (1, "")
        assert err == ("quorvex: QuorvexError: invalid receipt: signature verification failed at "
                       "sequence 1\n")

    def test_text_that_is_no_log_is_refused_with_its_position(self, home, alice):
        broken = home / "broken.json"
        broken.write_text("[\n  {\"id\": 1}\n]", encoding="utf-8")
        code, out, err = run(home, "receipts", "verify", broken, "--key", alice["hex"])
        assert (code, out) == (1, "")
        assert err == ("quorvex: Invalid receipt log JSON: invalid type: integer `1`, expected a "
                       "string at line 2 column 11\n")
        code, out, err = run(home, "receipts", "verify", home / "missing.json", "--key",
                             alice["hex"])
        assert code == 2 and err.startswith("quorvex: error: cannot read "), err


class TestCommandLine:
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

    @pytest.mark.parametrize("args,message", [
        ([], "quorvex: error: the following arguments are required: COMMAND"),
        (["token", "sign"], "quorvex token: error: argument COMMAND: invalid choice: 'sign'"),
        (["token", "verify", "x.y.z", "--key", "k"],
         "quorvex token verify: error: the following arguments are required: --scope"),
        (["token", "issue", "--identity", "d", "--subject", "s", "--scope", "a", "--expires", "1h"],
         "quorvex token issue: error: argument --expires: invalid int value: '1h'"),
    ])
    def test_malformed_command_lines_exit_2_with_usage(self, home, args, message):
        code, out, err = run(home, *args)
        assert (code, out) == (2, "")
        assert err.startswith("usage: quorvex")
        assert err.splitlines()[-1].startswith(message), err

    @pytest.mark.parametrize("path", [[], ["identity"], ["identity", "create"],
                                      ["identity", "show"], ["token"], ["token", "issue"],
                                      ["token", "inspect"], ["token", "verify"], ["receipts"],
                                      ["receipts", "verify"]])
    def test_help_on_every_command(self, home, path):
        code, out, err = run(home, *path, "--help")
        assert (code, err) == (0, "")
        assert out.startswith(" ".join(["usage: quorvex"] + path) + " [-h]")


def header_text(header):
    """A token (unsigned) whose header is the given JSON text."""
    return b64u(header) + "." + b64u("{}") + ".x"


class TestNoTraceback:
    @pytest.mark.parametrize("args,code,message", [
        (["identity", "create", "q", "--dir", b"\xff"], 2,
         "error: argument 5 is not UTF-8 text: \\xff"),
        (["token", "verify", "x.y.z", "--key", "00" * 32, "--scope", "a:b:c:d", "--ip",
          b"\xff"], 2, "error: argument 9 is not UTF-8 text: \\xff"),
        (["token", "inspect", b"a\xc3"], 2, "error: argument 3 is not UTF-8 text: a\\xc3"),
        (["token", "inspect", header_text('{"a":"\\ud800"}')], 1,
         "not a compact token: cannot decode its header: lone surrogate \\ud800 in a string"),
        (["token", "inspect", header_text('{"\\udfff":1}')], 1,
         "not a compact token: cannot decode its header: lone surrogate \\udfff in a string"),
        (["token", "inspect", header_text('{"a":NaN}')], 1,
         "not a compact token: cannot decode its header: NaN is not a JSON number"),
        (["token", "inspect", header_text('[-Infinity]')], 1,
         "not a compact token: cannot decode its header: -Infinity is not a JSON number"),
        (["token", "inspect", header_text('{"a":1e999}')], 1,
         "not a compact token: cannot decode its header: number out of range: 1e999"),
        (["token", "inspect", header_text("[" * 201 + "]" * 201)], 1,
         "not a compact token: cannot decode its header: nested deeper than 200 levels"),
        (["identity", "create", "a\nb", "--dir", "x"], 1,
         "InvalidAidError: invalid AID identifier: local name must be lowercase alphanumeric "
         "with hyphens: a\\nb"),
    ])
    def test_a_crashing_input_is_one_line(self, home, args, code, message):
        assert run(home, *args) == (code, "", f"quorvex: {message}\n")

    def test_nesting_up_to_the_bound_is_shown(self, home):
        code, out, err = run(home, "token", "inspect", header_text("[" * 200 + "]" * 200),
                             "--json")
        assert (code, err) == (0, "")
        assert json.loads(out)["header"] == functools.reduce(lambda v, _: [v], range(199), [])

    def test_output_that_cannot_be_written_is_one_line(self, home, alice):
        with open("/dev/full", "wb") as full:
            code, _, err = run(home, "identity", "show", alice["dir"], stdout=full)
        assert (code, err) == (1, "quorvex: cannot write the output: [Errno 28] No space left "
                                  "on device\n")


class TestJsonOutcomes:
    @pytest.mark.parametrize("args,code,message", [
        (["identity", "show", "{tmp}/none"], 1,
         "{tmp}/none: Failed to read key: No such file or directory (os error 2)"),
        (["identity", "create", "Alice", "--dir", "{tmp}/x"], 1,
         "InvalidAidError: invalid AID identifier: local name must be lowercase alphanumeric "
         "with hyphens: Alice"),
        (["token", "issue", "--identity", "{tmp}/none", "--subject", SUBJECT, "--scope", "a:b:c:d"],
         1, "{tmp}/none: Failed to read key: No such file or directory (os error 2)"),
        (["token", "inspect", "a.b"], 1,
         "not a compact token: 2 parts separated by '.', not 3"),
        (["token", "inspect", header_text('{"a":NaN}')], 1,
         "not a compact token: cannot decode its header: NaN is not a JSON number"),
        (["token", "verify", "x.y.z", "--key", "nope", "--scope", "a:b:c:d"], 2,
         "argument --key: not a multibase public key, 64 hex digits or an identity directory: "
         "nope"),
        (["receipts", "verify", "{tmp}/none", "--key", "00" * 32], 2,
         "cannot read {tmp}/none: [Errno 2] No such file or directory: '{tmp}/none'"),
        (["token", "inspect", b"\xff"], 2, "argument 3 is not UTF-8 text: \\xff"),
        # Command lines argparse refuses, --json anywhere (or abbreviated) before "--".
        (["token", "verify", "x.y.z", "--key", "k"], 2,
         "the following arguments are required: --scope"),
        (["token", "sign"], 2,
         "argument COMMAND: invalid choice: 'sign' (choose from 'issue', 'inspect', 'verify')"),
        (["--js", "token", "issue", "--identity", "d", "--subject", "s", "--scope", "a",
          "--expires", "1h"], 2, "argument --expires: invalid int value: '1h'"),
        ([], 2, "the following arguments are required: COMMAND"),
    ])
    def test_a_failure_prints_one_json_object(self, home, tmp_path, args, code, message):
        args = [a.replace("{tmp}", str(tmp_path)) if isinstance(a, str) else a for a in args]
        message = message.replace("{tmp}", str(tmp_path))
        got, out, err = run(home, *args, *([] if "--js" in args else ["--json"]))
        assert (got, json.loads(out)) == (code, {"ok": False, "code": code, "error": message})
        assert err.splitlines()[-1].endswith(f"error: {message}" if code == 2 else message)

    def test_refused_log_keeps_its_members(self, home, alice, tmp_path):
        log = tmp_path / "log.json"
        log.write_text("[]x", encoding="utf-8")
        code, out, _ = run(home, "receipts", "verify", log, "--key", alice["hex"], "--json")
        printed = json.loads(out)
        assert (code, printed["valid"], printed["ok"], printed["code"]) == (1, False, False, 1)

    def test_help_is_one_json_object(self, home):
        code, out, err = run(home, "token", "verify", "--json", "--help")
        assert (code, err) == (0, "")
        assert json.loads(out)["help"].startswith("usage: quorvex token verify [-h]")


class TestInputs:
    @pytest.mark.parametrize("args", [
        ["receipts", "verify", "{in}", "--key", "00" * 32],
        ["token", "verify", "{in}", "--key", "00" * 32, "--scope", "a:b:c:d"],
        ["token", "inspect", "{in}"],
    ])
    def test_text_that_is_no_utf8_exits_2_whatever_its_source(self, home, tmp_path, args):
        data = b"[\xff].b.c"
        path = tmp_path / "input"
        path.write_bytes(data)
        # A log is read from a file; a token is the argument itself.
        source = path if args[0] == "receipts" else data
        name = path if args[0] == "receipts" else None
        code, out, err = run(home, *[source if a == "{in}" else a for a in args])
        assert (code, out) == (2, "")
        assert err == (f"quorvex: error: cannot read {name}: not UTF-8 text (byte 0xff at "
                       "offset 1)\n" if name else
                       f"quorvex: error: argument 3 is not UTF-8 text: [\\xff].b.c\n")
        assert run(home, *["-" if a == "{in}" else a for a in args], stdin=data) == (
            2, "", "quorvex: error: cannot read standard input: not UTF-8 text (byte 0xff at "
                   "offset 1)\n")

    def test_a_token_past_64_kib_is_named_not_read(self, home):
        with open("/dev/zero", "rb") as zero:
            assert run(home, "token", "inspect", "-", stdin=zero) == (
                2, "", "quorvex: error: cannot read standard input: larger than 64 KiB\n")
        assert run(home, "token", "inspect", "a" * (64 * 1024 + 1)) == (
            2, "", "quorvex: error: argument TOKEN: larger than 64 KiB\n")

    @pytest.mark.parametrize("source", ["file", "stdin", "/dev/zero"])
    def test_a_log_past_its_limit_is_named_not_read(self, monkeypatch, capsys, tmp_path, alice,
                                                    source):
        if importlib.util.find_spec("quorvex_cli") is None:
            monkeypatch.syspath_prepend(str(Path(__file__).resolve().parents[1]))
        import quorvex_cli
        monkeypatch.setattr(quorvex_cli, "LOG_LIMIT", 16)
        path = tmp_path / "log.json"
        log, name = {"file": (str(path), str(path)), "stdin": ("-", "standard input")}.get(
            source, (source, source))
        outcomes = []
        for size in (16, 17):
            data = b"[" + b" " * (size - 2) + b"]"
            path.write_bytes(data)
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
            code = quorvex_cli.main(["receipts", "verify", log, "--key", alice["hex"], "--json"])
            outcomes.append((code, json.loads(capsys.readouterr().out)))
        too_large = (2, {"ok": False, "code": 2,
                         "error": f"cannot read {name}: larger than 16 bytes"})
        assert outcomes[1] == too_large
        assert outcomes[0] == too_large if source == "/dev/zero" else outcomes[0][0] == 1

    def test_a_long_multibase_key_is_refused(self, home, alice, token):
        long_key = "z" + "2" * 100_000
        assert run(home, "token", "verify", token, "--key", long_key, "--scope", "a:b:c:d") == (
            2, "", "quorvex: error: argument --key: not a multibase public key, 64 hex digits "
                   f"or an identity directory: {long_key}\n")
