"""examples/tool_server.py with and without quorvex: what admitting a call costs a real service.

Two servers answer POST /tools/echo under uvicorn on 127.0.0.1, each in its own process: the
example's, which parses the bearer token, authorizes it and appends a signed receipt, and a twin
whose handler does the rest of the same work (header, JSON body, tool, JSON answer) without
quorvex. One httpx client sends the same requests to each over one keep-alive connection; the
difference in time per request is quorvex's share. Timings are printed, never judged.

    python bench/service_bench.py [--requests N]
"""

import argparse
import json
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import uvicorn
from starlette.applications import Starlette
from starlette.responses import JSONResponse
from starlette.routing import Route

from quorvex import DAT, EvaluationContext, KeyPair, ReceiptLog

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import tool_server  # noqa: E402

ISSUER = "did:aid:bench.example:principal"
AGENT = "did:aid:bench.example:agent"
ISSUER_KEY = KeyPair.from_secret_bytes(bytes(range(32)))
SERVER_KEY = KeyPair.from_secret_bytes(bytes(range(1, 33)))
BODY = b'{"path": "notes/today.txt", "limit": 100}'
WARMUP = 200
ROUNDS = 3


def plain_app():
    """The example's endpoint less quorvex: no token parsed or checked, no receipt."""
    served = 0

    async def call_tool(request):
        nonlocal served
        name = request.path_params["tool"]
        scheme, _, token = request.headers.get("authorization", "").partition(" ")
        if scheme.lower() != "bearer" or not token.strip():
            return JSONResponse({"ok": False, "code": "MissingToken"}, status_code=401)
        body = await request.body()
        result = tool_server.echo(json.loads(body) if body else None)
        json.dumps(result).encode()  # the receipt's output bytes, as the example makes them
        served += 1
        return JSONResponse({"ok": True, "tool": name, "result": result, "receipt": served - 1})

    return Starlette(routes=[Route("/tools/{tool}", call_tool, methods=["POST"])])


def serve(kind):
    """Runs one server on a free port, which it prints first; ends on SIGTERM."""
    if kind == "quorvex":
        app = tool_server.make_app({ISSUER: ISSUER_KEY.public_key_bytes}, SERVER_KEY)
    else:
        app = plain_app()
    # IPPROTO_TCP named: asyncio sets TCP_NODELAY on the connections of such a socket only, and
    # without it a response written in two parts waits out the client's delayed acknowledgement.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.bind(("127.0.0.1", 0))
    print(sock.getsockname()[1], flush=True)
    config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off")
    uvicorn.Server(config).run(sockets=[sock])


def start(kind):
    """A server process and the port it listens on."""
    server = subprocess.Popen([sys.executable, __file__, "--serve", kind], stdout=subprocess.PIPE)
    return server, int(server.stdout.readline())


def connect(port, headers):
    """A client whose first request has been answered."""
    # Without TCP_NODELAY a body written after the headers waits for the server's delayed
    # acknowledgement, about 40 ms on Linux.
    transport = httpx.HTTPTransport(socket_options=[(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)])
    client = httpx.Client(base_url=f"http://127.0.0.1:{port}", headers=headers,
                          transport=transport)
    deadline = time.monotonic() + 10
    while True:  # the port is bound before uvicorn listens on it
        try:
            client.post("/tools/echo", content=BODY)
            return client
        except httpx.TransportError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def run(kind, client, requests):
    """Mean seconds per request over `requests` calls."""
    begin = time.perf_counter()
    for _ in range(requests):
        response = client.post("/tools/echo", content=BODY)
        if response.status_code != 200:
            raise SystemExit(f"{kind}: {response.status_code} {response.text}")
    return (time.perf_counter() - begin) / requests


def measure(headers, requests):
    """Seconds per request for each kind of server, the best of ROUNDS runs taken in turn, so
    that the machine's other load falls on both alike."""
    servers = {kind: start(kind) for kind in ("plain", "quorvex")}
    try:
        clients = {kind: connect(port, headers) for kind, (_, port) in servers.items()}
        for kind, client in clients.items():
            run(kind, client, WARMUP)
        best = {kind: float("inf") for kind in clients}
        for _ in range(ROUNDS):
            for kind, client in clients.items():
                best[kind] = min(best[kind], run(kind, client, requests))
        for client in clients.values():
            client.close()
        return best["plain"], best["quorvex"]
    finally:
        for server, _ in servers.values():
            server.terminate()
            server.wait()


def in_process(compact, requests):
    """Seconds for what the example adds to one request, called directly."""
    trusted = {ISSUER: ISSUER_KEY.public_key_bytes}
    log = ReceiptLog()
    output = json.dumps(json.loads(BODY)).encode()
    runs = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for _ in range(requests):
            dat = DAT.from_compact(compact)
            ctx = EvaluationContext()
            ctx.request_ip = "127.0.0.1"
            dat.authorize(trusted, "mcp:tool:echo:call", ctx)
            log.append(dat.subject, dat.jti, "mcp:tool-call", BODY, SERVER_KEY,
                       server="tool-server", tool="echo", output_data=output, duration_ms=0)
        runs.append((time.perf_counter() - start) / requests)
    return min(runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=2000, help="requests per run")
    parser.add_argument("--serve", choices=["plain", "quorvex"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return
    compact = DAT.issue(ISSUER, AGENT, ["mcp:tool:echo:call"], 3600, ISSUER_KEY).to_compact()
    headers = {"Authorization": f"Bearer {compact}", "Content-Type": "application/json"}
    plain, guarded = measure(headers, args.requests)
    direct = in_process(compact, args.requests)
    print(f"tool server: POST /tools/echo, {args.requests} requests per run, best of {ROUNDS}, "
          "one keep-alive connection on 127.0.0.1 (uvicorn, httpx)")
    for label, seconds in (("without quorvex", plain), ("with quorvex", guarded)):
        print(f"  {label:<16} {1 / seconds:8.0f} requests/s "
              f"{seconds * 1e6:9.1f} us a request (mean)")
    added = guarded - plain
    print(f"  quorvex's share  {added / guarded:8.1%} of a request ({added * 1e6:.1f} us); "
          f"parse + authorize + receipt called directly: {direct * 1e6:.1f} us")


if __name__ == "__main__":
    main()
