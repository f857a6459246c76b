"""quorvex receipts verify, run as a subprocess (and in process for its size limit)."""

import importlib.util
import io
import json
import sys
from pathlib import Path

import pytest
from cli_helpers import SUBJECT, alice, check_json_failure, home, run  # noqa: F401 (fixtures)

from quorvex import ReceiptLog


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


class TestJsonOutcomes:
    def test_a_failure_prints_one_json_object(self, home, tmp_path):
        check_json_failure(home, tmp_path, ["receipts", "verify", "{tmp}/none", "--key", "00" * 32],
                           2, "cannot read {tmp}/none: [Errno 2] No such file or directory: "
                              "'{tmp}/none'")

    def test_refused_log_keeps_its_members(self, home, alice, tmp_path):
        log = tmp_path / "log.json"
        log.write_text("[]x", encoding="utf-8")
        code, out, _ = run(home, "receipts", "verify", log, "--key", alice["hex"], "--json")
        printed = json.loads(out)
        assert (code, printed["valid"], printed["ok"], printed["code"]) == (1, False, False, 1)


class TestInputs:
    def test_text_that_is_no_utf8_exits_2_whatever_its_source(self, home, tmp_path):
        data = b"[\xff].b.c"
        path = tmp_path / "input"
        path.write_bytes(data)
        # A log is read from a file, or from standard input for "-".
        assert run(home, "receipts", "verify", path, "--key", "00" * 32) == (
            2, "", f"quorvex: error: cannot read {path}: not UTF-8 text (byte 0xff at offset 1)\n")
        assert run(home, "receipts", "verify", "-", "--key", "00" * 32, stdin=data) == (
            2, "", "quorvex: error: cannot read standard input: not UTF-8 text (byte 0xff at "
                   "offset 1)\n")

    @pytest.mark.parametrize("source", ["file", "stdin", "/dev/zero"])
    def test_a_log_past_its_limit_is_named_not_read(self, monkeypatch, capsys, tmp_path, alice,
                                                    source):
        if importlib.util.find_spec("quorvex_cli") is None:
            monkeypatch.syspath_prepend(str(Path(__file__).resolve().parents[1]))
        import quorvex_cli._commands
        # Patched where receipts verify reads it.
        monkeypatch.setattr(quorvex_cli._commands, "LOG_LIMIT", 16)
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
