"""examples/tool_server.py under uvicorn on 127.0.0.1, driven over HTTP with httpx."""

import json
import re
import socket
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("starlette")
uvicorn = pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

from dat_helpers import ISS, KEY, OTHER, PK, SUB, issue  # noqa: E402
from quorvex import DAT, KeyPair, ReceiptLog  # noqa: E402
from tokens import HEADER, claims, signed  # noqa: E402

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "examples"))
import tool_server  # noqa: E402

SERVER_KEY = KeyPair.from_secret_bytes(bytes(range(2, 34)))
LOG = ReceiptLog()


def fail(arguments):
    raise LookupError(f"no such row: {arguments}")


@pytest.fixture(scope="module")
def client():
    app = tool_server.make_app({ISS: PK}, SERVER_KEY, receipts=LOG, server_name="tools.test",
                               tools={"echo": tool_server.echo, "fail": fail})
    # IPPROTO_TCP named, so that asyncio sets TCP_NODELAY on its connections: without it each
    # response waits about 40 ms for the client's delayed acknowledgement.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 5
    while not server.started:
        assert thread.is_alive() and time.monotonic() < deadline, "the server did not start"
        time.sleep(0.01)
    base = "http://127.0.0.1:%d" % sock.getsockname()[1]
    with httpx.Client(base_url=base, timeout=5) as http:
        yield http
    server.should_exit = True
    thread.join(5)
    sock.close()


def bearer(token):
    return {"Authorization": "Bearer " + (token if isinstance(token, str) else token.to_compact())}


def receipts():
    return json.loads(LOG.to_json())


def test_an_admitted_call_runs_the_tool_and_appends_a_signed_receipt(client):
    before = len(LOG)
    token = issue(["mcp:tool:echo:call"])
    response = client.post("/tools/echo", headers=bearer(token), content=b'{"path": "a.txt"}')
    assert response.status_code == 200
    assert response.json() == {"ok": True, "tool": "echo", "result": {"path": "a.txt"},
                               "receipt": before}
    assert len(LOG) == before + 1
    last = receipts()[-1]
    assert (last["agent"], last["dat"], last["chain"]["sequenceNumber"]) == (SUB, token.jti, before)
    assert {k: last["action"][k] for k in ("type", "server", "tool", "status")} == {
        "type": "mcp:tool-call", "server": "tools.test", "tool": "echo", "status": "success"}
    assert "outputHash" in last["action"]
    assert ReceiptLog.audit(LOG.to_json(), SERVER_KEY.public_key_bytes) == len(LOG)
    # Scheme in any case, an empty body is null, and a wildcard scope covers the tool.
    wildcard = issue(["mcp:tool:*:call"]).to_compact()
    response = client.post("/tools/echo", headers={"authorization": "bEaReR  " + wildcard})
    assert response.json() == {"ok": True, "tool": "echo", "result": None, "receipt": before + 1}


def tampered():
    compact = issue(["mcp:tool:echo:call"]).to_compact()
    flipped = "A" if compact[-2] != "A" else "B"
    return compact[:-2] + flipped + compact[-1]


def ip_refused():
    return signed(HEADER, claims(scope=["mcp:tool:echo:call"],
                                 constraints={"ipDenylist": ["127.0.0.0/8"]}), KEY)


@pytest.mark.parametrize("headers, status, code", [
    ({}, 401, "MissingToken"),
    ({"Authorization": "Basic dXNlcjpwYXNz"}, 401, "MissingToken"),
    ({"Authorization": "Bearer"}, 401, "MissingToken"),
    (bearer("not-a-token"), 401, "InvalidDat"),
    (bearer("e30.e30.AA"), 401, "Serialization"),
    (bearer(issue(["mcp:tool:echo:read"])), 403, "ScopeNotCovered"),
    (bearer(issue(["mcp:tool:echo:call"], expires_in_seconds=-60)), 401, "Expired"),
    (bearer(tampered()), 401, "VerificationFailed"),
    (bearer(DAT.issue("did:aid:test:stranger", SUB, ["mcp:tool:echo:call"], 60, OTHER)), 401,
     "UnknownIssuer"),
    (bearer(ip_refused()), 403, "IpBlocked"),
])
def test_refusals_answer_the_codes_status_and_append_nothing(client, headers, status, code):
    before = len(LOG)
    response = client.post("/tools/echo", headers=headers, content=b"{}")
    assert (response.status_code, response.json()["ok"], response.json()["code"]) == (
        status, False, code)
    assert (response.headers.get("www-authenticate") == "Bearer") == (status == 401)
    assert len(LOG) == before


def test_a_refusal_carries_the_modules_message_and_details(client):
    body = client.post("/tools/echo", headers=bearer(ip_refused())).json()
    assert body == {"ok": False, "code": "IpBlocked", "error": body["error"],
                    "details": {"ip": "127.0.0.1", "reason": "IP in denied list"}}
    assert "127.0.0.1" in body["error"] and "IP in denied list" in body["error"]
    body = client.post("/tools/echo").json()
    assert body == {"ok": False, "code": "MissingToken",
                    "error": 'expected "Authorization: Bearer <token>"', "details": {}}


def test_the_rate_limit_counts_the_tokens_calls_in_its_window(client):
    token = signed(HEADER, claims(scope=["mcp:tool:*:call"], jti="dat_rate_limited",
                                  constraints={"rateLimit": {"max_actions": 2,
                                                             "window_secs": 60}}), KEY)
    answers = [client.post("/tools/echo", headers=bearer(token)) for _ in range(3)]
    assert [a.status_code for a in answers] == [200, 200, 429]
    assert answers[2].json()["details"] == {"limit_type": "hourly", "limit": 2, "current": 2}
    # A refusal is no call: the count stays at the limit, and other tokens are not counted.
    assert client.post("/tools/echo", headers=bearer(token)).json()["details"]["current"] == 2
    other = signed(HEADER, claims(scope=["mcp:tool:*:call"], jti="dat_other",
                                  constraints={"rateLimit": {"max_actions": 2,
                                                             "window_secs": 60}}), KEY)
    assert client.post("/tools/echo", headers=bearer(other)).status_code == 200


def test_a_call_leaves_the_count_once_a_window_has_passed_since_it():
    now = [1000.0]
    counter = tool_server.CallCounter(clock=lambda: now[0])
    limited = DAT.from_compact(signed(HEADER, claims(constraints={
        "rateLimit": {"max_actions": 5, "window_secs": 60}}), KEY))
    counter.record(limited)
    now[0] += 30
    counter.record(limited)
    counter.record(issue())  # a token without a rate limit is not counted
    assert (counter.in_window(limited), counter.in_window(issue())) == (2, 0)
    now[0] += 30
    assert counter.in_window(limited) == 1
    now[0] += 29.5
    assert counter.in_window(limited) == 1
    now[0] += 0.5
    assert counter.in_window(limited) == 0


def test_the_tool_is_looked_up_after_the_token_and_its_arguments_must_be_json(client):
    before = len(LOG)
    wildcard = bearer(issue(["mcp:tool:*:call"]))
    assert client.post("/tools/nope").json()["code"] == "MissingToken"
    response = client.post("/tools/nope", headers=wildcard)
    assert (response.status_code, response.json()["code"]) == (404, "UnknownTool")
    response = client.post("/tools/echo", headers=wildcard, content=b"{not json")
    assert (response.status_code, response.json()["code"]) == (400, "InvalidJson")
    assert client.get("/tools/echo", headers=wildcard).status_code == 405
    assert len(LOG) == before


def test_a_failing_tool_answers_500_and_its_receipt_says_error(client):
    before = len(LOG)
    response = client.post("/tools/fail", headers=bearer(issue(["mcp:tool:fail:call"])),
                           content=b"7")
    assert response.status_code == 500
    assert response.json() == {"ok": False, "code": "ToolFailed",
                               "error": "LookupError: no such row: 7",
                               "details": {"receipt": before}}
    last = receipts()[-1]
    assert (last["action"]["tool"], last["action"]["status"]) == ("fail", "error")
    assert "outputHash" not in last["action"]


def test_the_status_table_is_the_readmes():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    rows = dict(re.findall(r"^\| `(\w+)` \|.*\| (\d{3}) \|$", text, re.MULTILINE))
    assert len(rows) > 20
    answered = {code: int(status) for code, status in rows.items() if status != "500"}
    assert tool_server.REFUSAL_STATUS == answered
