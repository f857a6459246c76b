"""Seeded mutations of DAT texts.

Every mutated text is either refused by DAT.from_compact with ValueError or RuntimeError, or parses
into a token whose signature no longer verifies.
"""

import json
import random
import time

import pytest

from quorvex import DAT, EvaluationContext, KeyPair
from tokens import HEADER, b64u, b64u_decode, claims, compact_json, signed

KEY = KeyPair.from_secret_bytes(bytes(range(7, 39)))
PK = KEY.public_key_bytes
SCOPE = "mcp:tool:fs:read"

PARSE_PREFIXES = ("InvalidDatError: invalid DAT: ", "QuorvexError: serialization error: ")
BAD_SIGNATURE = "VerificationFailedError: signature verification failed: "
DEEP = 100_000

FULL_CONSTRAINTS = {
    "maxActions": 5,
    "allowedServers": ["s1"],
    "requireReceipt": True,
    "rateLimit": {"max_actions": 10, "window_secs": 3600},
    "ipAllowlist": ["10.0.0.0/8", "::1"],
    "ipDenylist": ["10.9.0.0/16"],
    "minTrustLevel": 1,
    "maxDelegationDepth": 2,
    "allowedCountries": ["DE", "fr"],
    "timeWindows": [{"start_hour": 0, "end_hour": 23, "days_of_week": [0, 1, 2, 3, 4, 5, 6]}],
    "requiredConfigHash": "cfg",
}


def base_tokens():
    return [
        DAT.issue("did:aid:f:iss", "did:aid:f:sub", ["mcp:tool:*:read"], 600, KEY).to_compact(),
        DAT.issue("did:aid:f:iss", "did:aid:f:sub", ["*:*:*:*", "x:y:z:w"], 600, KEY,
                  max_actions=3, require_receipt=False, max_delegation_depth=1,
                  min_trust_level=2).to_compact(),
        signed(HEADER, claims(scope=["mcp:tool:*:*"], constraints=FULL_CONSTRAINTS,
                              configAttestation="c", delegationChain=["a", "b"]), KEY),
    ]


def full_context():
    ctx = EvaluationContext()
    ctx.request_ip = "10.1.2.3"
    ctx.country_code = "de"
    ctx.delegation_depth = 1
    ctx.actions_in_window = 3
    ctx.agent_config_hash = "cfg"
    ctx.agent_trust_level = 2
    return ctx


INSERTS = list("AZaz09-_.=+/ \n\t\x00\u00e9") + ["..", "==", "%3D"]


def mutate_text(rng, text):
    if not text:
        return rng.choice(INSERTS)
    kind = rng.randrange(10)
    parts = text.split(".")
    n = len(parts)
    if kind == 0:  # bit flip, staying in ASCII
        i = rng.randrange(len(text))
        return text[:i] + chr(ord(text[i]) ^ (1 << rng.randrange(7))) + text[i + 1:]
    if kind == 1:
        return text[: rng.randrange(len(text))]
    if kind == 2:
        i = rng.randrange(len(text))
        return text[:i] + text[i + 1:]
    if kind == 3:
        i = rng.randrange(len(text) + 1)
        return text[:i] + rng.choice(INSERTS) + text[i:]
    if kind == 4:
        if n < 2:
            return text + "." + text
        i, j = rng.sample(range(n), 2)
        parts[i], parts[j] = parts[j], parts[i]
        return ".".join(parts)
    if kind == 5:
        i = rng.randrange(n)
        return ".".join(parts[: i + 1] + [parts[i]] + parts[i + 1:])
    if kind == 6:
        i = rng.randrange(n)
        parts[i] += rng.choice(["=", "==", "==="])
        return ".".join(parts)
    if kind == 7:
        i = rng.randrange(n)
        parts[i] = b64u(rng.randbytes(rng.randrange(0, 90)))
        return ".".join(parts)
    if kind == 8:  # a segment cut to an impossible length
        i = rng.randrange(n)
        if len(parts[i]) % 4 != 1:
            parts[i] = parts[i][: len(parts[i]) - len(parts[i]) % 4] + "A"
        return ".".join(parts)
    return rng.choice(["", ".", "..", "...", " . . "]) + text


def _replace_number(rng, body):
    values = ["18446744073709551616", "9223372036854775808", "-9223372036854775809",
              "1" + "0" * rng.randrange(19, 400), "1e400", "-1e400", "1.0", "-0", "0.5",
              "1e2", "256", "4294967296", "-1", '"1"', "true", "null"]
    keys = ["iat", "exp", "nbf", "maxActions", "minTrustLevel", "maxDelegationDepth",
            "max_actions", "window_secs", "start_hour", "end_hour"]
    key = rng.choice(keys)
    marker = '"%s":' % key
    i = body.find(marker)
    if i < 0:
        return body
    j = i + len(marker)
    k = j
    while k < len(body) and body[k] not in ",}]":
        k += 1
    return body[:j] + rng.choice(values) + body[k:]


def mutate_json(rng, header, body):
    """Returns new header and claims bytes."""
    kind = rng.randrange(12)
    hb, bb = header.encode(), body.encode()
    if kind == 0:
        return hb, _replace_number(rng, body).encode()
    if kind == 1:  # invalid UTF-8 inside a string
        bad = rng.choice(
            [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xe2\x82", b"\xf8\x88\x80\x80\x80"])
        i = rng.choice([k for k, ch in enumerate(bb) if ch == ord('"')]) + 1
        return hb, bb[:i] + bad + bb[i:]
    if kind == 2:
        esc = rng.choice(["\\ud800", "\\udc00", "\\ud800\\u0041", "\\uZZZZ", "\\x41", "\\"])
        return hb, body.replace('"iss":"', '"iss":"' + esc, 1).encode()
    if kind == 3:  # raw control character inside a string
        return hb, body.replace('"sub":"', '"sub":"\x01\n', 1).encode()
    if kind == 4:
        key = rng.choice(["iss", "sub", "iat", "exp", "nbf", "jti", "scope"])
        obj = json.loads(body)
        if rng.random() < 0.5:
            obj.pop(key, None)
        else:
            obj[key] = rng.choice([None, [], {}, "x", 1, [1], {"a": 1}, True])
        return hb, compact_json(obj).encode()
    if kind == 5:  # duplicate member
        return hb, body.replace("{", '{"jti":"dup",', 1).encode()
    if kind == 6:
        return rng.choice([b'{"alg":"EdDSA","typ":"t","kid":"k","jku":"x"}', b'{"alg":"EdDSA"}',
                           b'{"alg":null,"typ":"t","kid":"k"}', b'["EdDSA","t"]',
                           b'{"alg":"EdDSA","typ":1,"kid":"k"}', b"null", b"[]", b"{}",
                           b'{"alg":"EdDSA","typ":"t","kid":"k"}x']), bb
    if kind == 7:  # random byte corruption of the JSON
        in_header = rng.random() < 0.3
        data = bytearray(hb if in_header else bb)
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        return (bytes(data), bb) if in_header else (hb, bytes(data))
    if kind == 8:
        return hb, rng.choice(
            [bb + b" x", b"\xef\xbb\xbf" + bb, bb[:-1], bb + b"}", b" " + bb + b"\n"])
    if kind == 9:
        obj = json.loads(body)
        obj.setdefault("constraints", {})
        obj["constraints"][rng.choice(list(FULL_CONSTRAINTS))] = rng.choice(
            [None, "x", -1, 2**64, [None], [{"start_hour": 1}], {"max_actions": 1}, [1, "a"]])
        return hb, compact_json(obj).encode()
    if kind == 10:
        obj = json.loads(body)
        return hb, compact_json(list(obj.values())[: rng.randrange(12)]).encode()
    return hb, bb[: rng.randrange(len(bb))]


def check_parse_failure(error):
    assert type(error) in (ValueError, RuntimeError), repr(error)
    assert str(error).startswith(PARSE_PREFIXES), str(error)


def check_tampered(original, text, ctx):
    """text is original with some change: it must not parse, or must not verify."""
    try:
        dat = DAT.from_compact(text)
    except (ValueError, RuntimeError) as e:
        check_parse_failure(e)
        return "rejected"
    if text == original:
        assert dat.verify_signature(PK) is True
        return "unchanged"
    assert dat.verify_signature(PK) is False, text
    with pytest.raises(ValueError) as e:
        dat.verify(PK, SCOPE, ctx)
    assert type(e.value) is ValueError and str(e.value).startswith(BAD_SIGNATURE), str(e.value)
    return "parsed"


def check_resigned(hb, bb, ctx):
    """Validly signed arbitrary JSON: clean rejection, or a token every accessor can handle."""
    text = signed(hb, bb, KEY)
    try:
        dat = DAT.from_compact(text)
    except (ValueError, RuntimeError) as e:
        check_parse_failure(e)
        return "rejected"
    assert dat.verify_signature(PK) is True
    try:
        dat.verify(PK, SCOPE, ctx)
    except ValueError as e:
        assert type(e) is ValueError and not str(e).startswith(BAD_SIGNATURE), str(e)
    fields = (dat.issuer, dat.subject, dat.jti, dat.scope, dat.expires_at, dat.is_expired)
    assert repr(dat).startswith("DAT(issuer='")
    again = DAT.from_compact(dat.to_compact())
    assert (again.issuer, again.subject, again.jti, again.scope, again.expires_at) == fields[:5]
    return "parsed"


class TestDAT:
    def test_text_mutations(self):
        rng = random.Random(0x5EED)
        ctx = full_context()
        outcomes = {"rejected": 0, "parsed": 0, "unchanged": 0}
        for original in base_tokens():
            for _ in range(1200):
                text = original
                for _ in range(rng.choice([1, 1, 1, 2, 3])):
                    text = mutate_text(rng, text)
                outcomes[check_tampered(original, text, ctx)] += 1
        assert outcomes["rejected"] > 1000 and outcomes["parsed"] > 100, outcomes

    def test_json_mutations(self):
        rng = random.Random(0xC1A1)
        ctx = full_context()
        unsigned = {"rejected": 0, "parsed": 0, "unchanged": 0}
        resigned = {"rejected": 0, "parsed": 0}
        for original in base_tokens():
            h, c, s = original.split(".")
            header, body = b64u_decode(h).decode(), b64u_decode(c).decode()
            for _ in range(500):
                hb, bb = mutate_json(rng, header, body)
                text = b64u(hb) + "." + b64u(bb) + "." + s
                unsigned[check_tampered(original, text, ctx)] += 1
                resigned[check_resigned(hb, bb, ctx)] += 1
        assert unsigned["rejected"] > 500 and unsigned["parsed"] > 50, unsigned
        assert resigned["rejected"] > 500 and resigned["parsed"] > 50, resigned

    @pytest.mark.parametrize(
        "where",
        ["unknown claim", "scope", "constraint", "whole claims", "unclosed", "header", "objects"],
    )
    def test_deep_nesting(self, where):
        arrays = "[" * DEEP + "]" * DEEP
        now = int(time.time())
        plain = compact_json(claims(now=now))
        header = HEADER
        if where == "unknown claim":
            body = plain[:-1] + ',"x":' + arrays + "}"
        elif where == "scope":
            body = plain.replace('["mcp:tool:*:read"]', arrays)
        elif where == "constraint":
            body = plain[:-1] + ',"constraints":{"ipAllowlist":' + arrays + "}}"
        elif where == "whole claims":
            body = arrays
        elif where == "unclosed":
            body = plain[:-1] + ',"x":' + "[" * DEEP
        elif where == "header":
            header, body = HEADER[:-1] + ',"x":' + arrays + "}", plain
        else:
            body = plain[:-1] + ',"x":' + '{"a":' * DEEP + "1" + "}" * DEEP + "}"
        text = signed(header, body, KEY)
        try:
            dat = DAT.from_compact(text)
        except (ValueError, RuntimeError) as e:
            check_parse_failure(e)
            assert where != "unknown claim" and where != "objects"
            return
        # Unknown claims are skipped however deep they nest.
        assert where in ("unknown claim", "objects")
        assert dat.verify(PK, SCOPE) is None
        tampered = text[:-2] + ("A" if text[-2] != "A" else "B") + text[-1]
        assert check_tampered(text, tampered, None) in ("parsed", "rejected")
