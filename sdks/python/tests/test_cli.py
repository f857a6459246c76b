"""The quorvex command line as a whole: argparse's refusals, --help, and --json around them.

Each command's own behaviour is tested in test_cli_identity.py, test_cli_token.py and
test_cli_receipts.py.
"""

import json

import pytest
from cli_helpers import check_json_failure, home, run  # noqa: F401 (fixtures)


class TestCommandLine:
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


class TestJsonOutcomes:
    # Command lines argparse refuses, --json anywhere (or abbreviated) before "--".
    @pytest.mark.parametrize("args,code,message", [
        (["token", "verify", "x.y.z", "--key", "k"], 2,
         "the following arguments are required: --scope"),
        (["token", "sign"], 2,
         "argument COMMAND: invalid choice: 'sign' "
         "(choose from 'issue', 'delegate', 'prove', 'inspect', 'verify')"),
        (["--js", "token", "issue", "--identity", "d", "--subject", "s", "--scope", "a",
          "--expires", "1h"], 2, "argument --expires: invalid int value: '1h'"),
        ([], 2, "the following arguments are required: COMMAND"),
    ])
    def test_a_failure_prints_one_json_object(self, home, tmp_path, args, code, message):
        check_json_failure(home, tmp_path, args, code, message)

    def test_help_is_one_json_object(self, home):
        code, out, err = run(home, "token", "verify", "--json", "--help")
        assert (code, err) == (0, "")
        assert json.loads(out)["help"].startswith("usage: quorvex token verify [-h]")
