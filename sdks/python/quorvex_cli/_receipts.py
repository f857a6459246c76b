"""The receipt store commands: checkpoints, proofs and audits of a durable log."""

from __future__ import annotations

import argparse
import base64
import os

from quorvex import ReceiptLog

from ._commands import _load, _public_key
from ._inout import (EXIT_OK, TOKEN_LIMIT, Refused, Usage, _print_json, _read_file,
                     _read_stdin)

# A store is an SQLite database file; its first 16 bytes say so.
_STORE_MAGIC = b"SQLite format 3\0"
# A checkpoint or a proof bundle is a short text; a receipt a few kilobytes.
NOTE_LIMIT = 1024 * 1024


def is_store(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            return f.read(len(_STORE_MAGIC)) == _STORE_MAGIC
    except OSError:
        return False


def _open(path: str) -> ReceiptLog:
    """An existing store; open() would create a missing one."""
    if not os.path.isfile(path):
        raise Usage(f"cannot read {path}: no such receipt store")
    try:
        return ReceiptLog.open(path)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None


def _text(path: str, limit: int = NOTE_LIMIT) -> str:
    """A text file, or standard input for "-"."""
    if path == "-":
        return _read_stdin(limit)
    return _read_file(path, limit)


def receipts_checkpoint(args: argparse.Namespace) -> int:
    log = _open(args.store)
    key = _load(args.identity).keypair()
    try:
        note = log.checkpoint(args.origin, key, args.size)
        size = len(log) if args.size is None else args.size
        root = log.root(size)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    if args.json:
        _print_json({"checkpoint": note, "size": size, "root": base64.b64encode(root).decode()})
    else:
        print(note, end="")
    return EXIT_OK


def receipts_prove(args: argparse.Namespace) -> int:
    log = _open(args.store)
    checkpoint = _text(args.checkpoint)
    try:
        bundle = log.prove(args.index, checkpoint)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e)) from None
    if args.json:
        _print_json({"bundle": bundle, "index": args.index})
    else:
        print(bundle, end="")
    return EXIT_OK


def receipts_check_proof(args: argparse.Namespace) -> int:
    key = _public_key(args.key)
    if args.bundle == "-" and args.receipt == "-":
        raise Usage("only one of BUNDLE and --receipt can be read from standard input")
    bundle = _text(args.bundle)
    receipt = _text(args.receipt, TOKEN_LIMIT).strip()
    try:
        index = ReceiptLog.check_proof(bundle, receipt, key, args.origin)
        _, size, _ = ReceiptLog.verify_checkpoint(bundle[bundle.index("\n\n") + 2:], key,
                                                  args.origin)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e), valid=False) from None
    if args.json:
        _print_json({"valid": True, "index": index, "tree_size": size})
    else:
        print(f"valid: receipt {index} is in the log's tree of size {size}")
    return EXIT_OK


def receipts_verify_store(args: argparse.Namespace) -> int:
    if args.checkpoint is not None and args.key is None:
        raise Usage("argument --checkpoint: needs --key, the checkpoint signer's public key")
    log = _open(args.log)
    try:
        log.verify_integrity()
        size = len(log)
        root = log.root(size)
    except (ValueError, RuntimeError) as e:
        raise Refused(str(e), valid=False) from None
    extends = None
    if args.checkpoint is not None:
        key = _public_key(args.key)
        try:
            origin, old_size, old_root = ReceiptLog.verify_checkpoint(
                _text(args.checkpoint), key, args.origin)
        except (ValueError, RuntimeError) as e:
            raise Refused(str(e), valid=False) from None
        if old_size > size:
            raise Refused(f"the store does not extend the checkpoint: it holds {size} receipts, "
                          f"the checkpoint {old_size}", valid=False)
        if log.root(old_size) != old_root:
            raise Refused(f"the store does not extend the checkpoint: its tree of size "
                          f"{old_size} has another root", valid=False)
        extends = {"origin": origin, "tree_size": old_size}
    root_text = base64.b64encode(root).decode()
    if args.json:
        answer = {"valid": True, "receipts": size, "root": root_text}
        if extends is not None:
            answer["extends"] = extends
        _print_json(answer)
    else:
        print(f"valid: {size} receipt{'' if size == 1 else 's'}, every link, signature and tree "
              f"node checked; root {root_text}")
        if extends is not None:
            print(f"extends the checkpoint of {extends['origin']} at size {extends['tree_size']}")
    return EXIT_OK
