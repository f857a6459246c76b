"""Running the quorvex command for the CLI test modules, and the fixtures they share."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quorvex import AgentIdentity

# The installed console script when the CLI module is installed next to quorvex (the wheel);
# otherwise the module from the checkout, run against whichever quorvex is on the path. The
# command runs in another directory, so the path's entries are made absolute.
_SCRIPT = Path(sys.executable).with_name("quorvex")
_PATH = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
if importlib.util.find_spec("quorvex_cli") is not None:
    COMMAND = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "quorvex_cli"]
    PYTHONPATH = os.pathsep.join(_PATH)
else:
    COMMAND = [sys.executable, "-m", "quorvex_cli"]
    PYTHONPATH = os.pathsep.join([str(Path(__file__).resolve().parents[1]), *_PATH])

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


def check_json_failure(home, tmp_path, args, code, message):
    """With --json (added unless abbreviated in args), stdout is the one failure object."""
    args = [a.replace("{tmp}", str(tmp_path)) if isinstance(a, str) else a for a in args]
    message = message.replace("{tmp}", str(tmp_path))
    got, out, err = run(home, *args, *([] if "--js" in args else ["--json"]))
    assert (got, json.loads(out)) == (code, {"ok": False, "code": code, "error": message})
    assert err.splitlines()[-1].endswith(f"error: {message}" if code == 2 else message)
