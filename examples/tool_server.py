"""A tool server that admits each call by its delegation token and keeps a signed receipt of it.

POST /tools/{tool} with "Authorization: Bearer <compact DAT>" and a JSON body, the tool's
arguments (an empty body is null). The token's issuer must be one the server trusts and its scope
must cover "mcp:tool:{tool}:call" (``tool_scope``; ``make_app`` takes another mapping). The
token's constraints are checked against the request's facts: the client's address, the token's
delegation depth (the length of its delegation chain) and the calls it has made in its rate-limit
window, counted by the server in memory. A call that is admitted runs the tool and appends a
receipt, signed with the server's key, to the server's log: the agent is the token's subject, the
token its jti, and the status "success", or "error" when the tool raised.

Every answer is JSON: {"ok": true, "tool": T, "result": R, "receipt": N}, N being the receipt's
sequence number, or {"ok": false, "code": C, "error": E, "details": D}. For the module's
refusals C is the refusal's ``code``, E its message, D its ``details`` and the status the one
REFUSAL_STATUS gives; the server's own are MissingToken (401: no "Bearer" credentials),
UnknownTool (404), InvalidJson (400) and ToolFailed (500). Every 401 carries
"WWW-Authenticate: Bearer".

Run it (needs starlette and uvicorn):

    python examples/tool_server.py --port 8000

Without --trust it creates a principal, trusts it and prints a token and a curl command to try;
--trust DID=KEY (repeatable) trusts an issuer instead, KEY in any form KeyPair.public_key_from
reads.
"""

from __future__ import annotations

import argparse
import collections
import json
import time
from collections.abc import Callable, Mapping
from typing import Any

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from quorvex import DAT, AgentIdentity, EvaluationContext, KeyPair, ReceiptLog

# The HTTP status for each refusal code the module raises. A code missing here (InvalidKey,
# InvalidReceipt, Other, ...) is the server's own fault and answers 500.
REFUSAL_STATUS: dict[str, int] = {
    **dict.fromkeys([
        "Serialization", "Base64Decode", "InvalidDat", "VerificationFailed", "DatExpired",
        "DatNotYetValid", "Expired", "NotYetValid", "UnknownIssuer", "ProofRequired",
        "ProofInvalid", "ProofReplayed", "Revoked", "DatRevoked", "ChainValidationFailed",
        "DelegationChainInvalid", "AidNotFound",
    ], 401),
    **dict.fromkeys([
        "ScopeNotCovered", "ScopeNotPermitted", "IpBlocked", "InsufficientTrustLevel",
        "DelegationDepthExceeded", "GeofenceViolation", "OutsideTimeWindow",
        "ConfigAttestationMismatch", "ConstraintViolated", "TrustVerification",
    ], 403),
    "RateLimitExceeded": 429,
    **dict.fromkeys(["InvalidArgument", "InvalidAid", "AidValidation"], 400),
}

Tool = Callable[[Any], Any]  # the JSON arguments in, a JSON-serialisable result out


def echo(arguments: Any) -> Any:
    return arguments


def tool_scope(tool: str) -> str:
    return f"mcp:tool:{tool}:call"


def failure(status: int, code: str, error: str,
            details: Mapping[str, Any] | None = None) -> JSONResponse:
    headers = {"WWW-Authenticate": "Bearer"} if status == 401 else None
    body = {"ok": False, "code": code, "error": error, "details": dict(details or {})}
    return JSONResponse(body, status_code=status, headers=headers)


def bearer_token(request: Request) -> str | None:
    """The credentials of an "Authorization: Bearer <token>" header (scheme in any case)."""
    scheme, _, token = request.headers.get("authorization", "").partition(" ")
    token = token.strip()
    return token if scheme.lower() == "bearer" and token else None


class CallCounter:
    """Calls each token made within its rate-limit window, in memory, keyed by issuer and jti."""

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self._clock = clock
        self._calls: dict[tuple[str, str], collections.deque[float]] = {}

    @staticmethod
    def _window(dat: DAT) -> int | None:
        limit = dat.constraints.get("rateLimit")
        return None if limit is None else int(limit["window_secs"])

    def in_window(self, dat: DAT) -> int:
        window = self._window(dat)
        key = (dat.issuer, dat.jti)
        calls = self._calls.get(key)
        if window is None or calls is None:
            return 0
        horizon = self._clock() - window
        while calls and calls[0] <= horizon:
            calls.popleft()
        if not calls:
            del self._calls[key]
        return len(calls)

    def record(self, dat: DAT) -> None:
        if self._window(dat) is not None:
            self._calls.setdefault((dat.issuer, dat.jti), collections.deque()).append(self._clock())


def make_app(
    trusted_issuers: Mapping[str, bytes],
    server_key: KeyPair,
    *,
    required_scope_of: Callable[[str], str] = tool_scope,
    tools: Mapping[str, Tool] | None = None,
    receipts: ReceiptLog | None = None,
    server_name: str = "tool-server",
    leeway: int = 0,
) -> Starlette:
    """The server's application; its receipts go to ``receipts`` (a new log when None), which
    is also ``app.state.receipts``."""
    trusted = dict(trusted_issuers)
    registry: dict[str, Tool] = dict(tools) if tools is not None else {"echo": echo}
    log = receipts if receipts is not None else ReceiptLog()
    counter = CallCounter()

    def facts(request: Request, dat: DAT) -> EvaluationContext:
        ctx = EvaluationContext()
        ctx.request_ip = request.client.host if request.client else None
        ctx.delegation_depth = len(dat.delegation_chain or ())
        ctx.actions_in_window = counter.in_window(dat)
        return ctx

    async def call_tool(request: Request) -> JSONResponse:
        started = time.monotonic()
        name: str = request.path_params["tool"]
        token = bearer_token(request)
        if token is None:
            return failure(401, "MissingToken", 'expected "Authorization: Bearer <token>"')
        try:
            dat = DAT.from_compact(token)
            dat.authorize(trusted, required_scope_of(name), facts(request, dat), leeway=leeway)
        except (ValueError, RuntimeError) as refusal:
            code: str = getattr(refusal, "code", "Other")
            details: dict[str, Any] = getattr(refusal, "details", {})
            return failure(REFUSAL_STATUS.get(code, 500), code, str(refusal), details)
        tool = registry.get(name)
        if tool is None:
            return failure(404, "UnknownTool", f"no tool named {name!r}")
        body = await request.body()
        try:
            arguments = json.loads(body) if body else None
        except ValueError as error:
            return failure(400, "InvalidJson", f"the body is not JSON: {error}")
        result: Any = None
        output: bytes | None = None
        error_text = ""
        try:
            result = tool(arguments)
            output = json.dumps(result).encode()
        except Exception as error:  # a failing tool is answered and recorded
            error_text = f"{type(error).__name__}: {error}"
        sequence = log.next_sequence
        log.append(dat.subject, dat.jti, "mcp:tool-call", body, server_key, server=server_name,
                   tool=name, output_data=output, status="error" if output is None else "success",
                   duration_ms=int((time.monotonic() - started) * 1000))
        counter.record(dat)
        if output is None:
            return failure(500, "ToolFailed", error_text, {"receipt": sequence})
        return JSONResponse({"ok": True, "tool": name, "result": result, "receipt": sequence})

    app = Starlette(routes=[Route("/tools/{tool}", call_tool, methods=["POST"])])
    app.state.receipts = log
    return app


def trust_argument(text: str) -> tuple[str, bytes]:
    did, sep, key = text.partition("=")
    if not sep or not did:
        raise argparse.ArgumentTypeError(f"expected DID=KEY, got {text!r}")
    try:
        return did, KeyPair.public_key_from(key)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main() -> None:
    import uvicorn

    parser = argparse.ArgumentParser(description="Serve POST /tools/{tool} to token holders.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--trust", type=trust_argument, action="append", default=[],
                        metavar="DID=KEY", help="an issuer to trust (repeatable)")
    args = parser.parse_args()
    trusted: dict[str, bytes] = dict(args.trust)
    if not trusted:
        principal = AgentIdentity.create("principal")
        trusted[principal.aid().did] = principal.public_key_bytes
        agent = AgentIdentity.create("agent").aid().did
        token = principal.issue_dat(agent, ["mcp:tool:echo:call"]).to_compact()
        print(f"Trusting {principal.aid().did}; a token for {agent}, good for an hour:")
        print(f"  curl -s -X POST http://{args.host}:{args.port}/tools/echo "
              f"-H 'Authorization: Bearer {token}' -d '{{\"hello\": 1}}'")
    uvicorn.run(make_app(trusted, KeyPair.generate()), host=args.host, port=args.port)


if __name__ == "__main__":
    main()
