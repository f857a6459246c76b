"""quorvex identity create and show, run as a subprocess."""

import json

import pytest
from cli_helpers import SUBJECT, alice, check_json_failure, home, run  # noqa: F401 (fixtures)


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


class TestNoTraceback:
    @pytest.mark.parametrize("args,code,message", [
        (["identity", "create", "q", "--dir", b"\xff"], 2,
         "error: argument 5 is not UTF-8 text: \\xff"),
        (["identity", "create", "a\nb", "--dir", "x"], 1,
         "InvalidAidError: invalid AID identifier: local name must be lowercase alphanumeric "
         "with hyphens: a\\nb"),
    ])
    def test_a_crashing_input_is_one_line(self, home, args, code, message):
        assert run(home, *args) == (code, "", f"quorvex: {message}\n")

    def test_output_that_cannot_be_written_is_one_line(self, home, alice):
        with open("/dev/full", "wb") as full:
            code, _, err = run(home, "identity", "show", alice["dir"], stdout=full)
        assert (code, err) == (1, "quorvex: cannot write the output: [Errno 28] No space left "
                                  "on device\n")


@pytest.mark.parametrize("args,code,message", [
    (["identity", "show", "{tmp}/none"], 1,
     "{tmp}/none: Failed to read key: No such file or directory (os error 2)"),
    (["identity", "create", "Alice", "--dir", "{tmp}/x"], 1,
     "InvalidAidError: invalid AID identifier: local name must be lowercase alphanumeric "
     "with hyphens: Alice"),
])
def test_a_failure_prints_one_json_object(home, tmp_path, args, code, message):
    check_json_failure(home, tmp_path, args, code, message)
