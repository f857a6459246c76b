"""Checkpoints and proofs against an implementation of the formats written elsewhere:
Go's golang.org/x/mod/sumdb/note and sumdb/tlog, built offline from Debian's sources."""

import base64
import json
import os
import pathlib
import shutil
import subprocess

import pytest

from quorvex import KeyPair, ReceiptLog

GO_SOURCES = pathlib.Path("/usr/share/gocode")
PROGRAM = pathlib.Path(__file__).parent / "interop" / "tlog_check.go"
ORIGIN = "example.com/receipts"


@pytest.fixture(scope="module")
def go_tool(tmp_path_factory):
    go = shutil.which("go")
    if go is None or not (GO_SOURCES / "src/golang.org/x/mod/sumdb/tlog").is_dir():
        pytest.skip("Go and golang.org/x/mod (Debian's golang-go, golang-golang-x-mod-dev) "
                    "are not installed")
    root = tmp_path_factory.mktemp("go")
    package = root / "src" / "tlogcheck"
    package.mkdir(parents=True)
    shutil.copy(PROGRAM, package / "main.go")
    env = dict(os.environ, GO111MODULE="off", GOPATH=f"{root}:{GO_SOURCES}",
               GOCACHE=str(root / "cache"), GOPROXY="off", GOFLAGS="", CGO_ENABLED="0")
    binary = root / "tlog_check"
    subprocess.run([go, "build", "-o", str(binary), "."], cwd=package, env=env, check=True)

    def run(request):
        done = subprocess.run([str(binary)], input=json.dumps(request), capture_output=True,
                              text=True, check=True)
        return json.loads(done.stdout)
    return run


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def flip(text: str, at: int) -> str:
    """One character of text changed, keeping it base64 or text alike."""
    return text[:at] + ("A" if text[at] != "A" else "B") + text[at + 1:]


def fill(log, n):
    key = KeyPair.from_secret_bytes(bytes(range(32)))
    start = len(log)
    for i in range(start, start + n):
        log.append("did:aid:example.com:agent", "dat_1", "mcp:tool-call", b"%d" % i, key,
                   tool=f"tool-{i}")
    return [log.receipt(i) for i in range(start, start + n)]


@pytest.mark.parametrize("kind", ["memory", "stored"])
def test_go_opens_our_checkpoints_and_accepts_our_proofs(go_tool, tmp_path, kind):
    log = ReceiptLog.open(tmp_path / "s.db") if kind == "stored" else ReceiptLog()
    signer = KeyPair.generate()
    leaves = []
    for size in (1, 2, 7, 8, 33):
        leaves += fill(log, size - len(leaves))
        note = log.checkpoint(ORIGIN, signer)
        root = b64(log.root())
        inclusion = [{"index": i, "size": size, "leaf": leaves[i], "root": root,
                      "proof": [b64(h) for h in log.inclusion_proof(i)]} for i in range(size)]
        consistency = [{"old": m, "new": size, "old_root": b64(log.root(m)), "new_root": root,
                        "proof": [b64(h) for h in log.consistency_proof(m)]}
                       for m in range(1, size + 1)]
        answer = go_tool({"op": "check", "name": ORIGIN, "public_key": b64(signer.public_key_bytes),
                          "note": note, "leaves": leaves, "inclusion": inclusion,
                          "consistency": consistency})
        assert answer["note_error"] == ""
        assert (answer["size"], answer["root"]) == (size, root)
        # (Go's tree of no leaves hashes to zeros, where RFC 9162 takes SHA-256 of nothing.)
        assert answer["roots"][1:] == [b64(log.root(n)) for n in range(1, size + 1)]
        assert answer["inclusion_errors"] == [""] * size
        assert answer["consistency_errors"] == [""] * size

        # One changed byte anywhere, and Go refuses.
        body_end = note.index("\n\n")
        damaged = [flip(note, 2), flip(note, body_end - 3), flip(note, len(note) - 10)]
        for bad in damaged:
            assert go_tool({"op": "check", "name": ORIGIN, "note": bad, "leaves": [],
                            "public_key": b64(signer.public_key_bytes)})["note_error"] != ""
        bad_inclusion = [dict(c, leaf=c["leaf"].replace("tool-", "tool_")) for c in inclusion]
        bad_inclusion += [dict(c, proof=[flip(p, 5) for p in c["proof"]])
                          for c in inclusion if c["proof"]]
        bad_consistency = [dict(c, proof=[flip(c["proof"][0], 1)] + c["proof"][1:])
                           for c in consistency if c["proof"]]
        answer = go_tool({"op": "check", "name": ORIGIN, "public_key": b64(signer.public_key_bytes),
                          "note": note, "leaves": [], "inclusion": bad_inclusion,
                          "consistency": bad_consistency})
        assert "" not in answer["inclusion_errors"]
        assert "" not in (answer["consistency_errors"] or [])


def test_our_verifiers_accept_what_go_produced(go_tool):
    log = ReceiptLog()
    leaves = fill(log, 21)
    made = go_tool({"op": "prove", "name": ORIGIN, "leaves": leaves})
    assert made["roots"][1:] == [b64(log.root(n)) for n in range(1, 22)]
    for proof in made["proofs"]:
        assert [b64(h) for h in log.inclusion_proof(proof["index"], proof["size"])] == proof["proof"]
    for proof in made["tree_proofs"]:
        assert [b64(h) for h in log.consistency_proof(proof["old"], proof["new"])] == proof["proof"]

    # Go's verifier key is name+keyid+base64(0x01 || public key).
    public = base64.b64decode(made["verifier_key"].split("+", 2)[2])[1:]
    note = made["note"]
    assert ReceiptLog.verify_checkpoint(note, public, ORIGIN) == (ORIGIN, 21, log.root())
    for proof in made["proofs"]:
        if proof["size"] != 21:
            continue
        hashes = [base64.b64decode(h) for h in proof["proof"]]
        ReceiptLog.verify_inclusion(leaves[proof["index"]], proof["index"], hashes, note, public)
        with pytest.raises(RuntimeError, match="inclusion proof does not verify"):
            ReceiptLog.verify_inclusion(leaves[proof["index"]] + " ", proof["index"], hashes, note,
                                        public)
    with pytest.raises(RuntimeError, match="^QuorvexError: invalid receipt: checkpoint signature "
                       "does not verify$"):
        ReceiptLog.verify_checkpoint(flip(note, note.index("\n\n") - 3), public)
    proof13 = next(p for p in made["tree_proofs"] if (p["old"], p["new"]) == (13, 21))
    hashes = [base64.b64decode(h) for h in proof13["proof"]]
    signer = KeyPair.generate()
    old = log.checkpoint(ORIGIN, signer, 13)
    new = log.checkpoint(ORIGIN, signer)
    ReceiptLog.verify_consistency(old, new, hashes, signer.public_key_bytes)
    with pytest.raises(RuntimeError, match="does not extend the tree of size 13$"):
        ReceiptLog.verify_consistency(old, new, hashes[::-1], signer.public_key_bytes)
