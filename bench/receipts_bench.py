"""Receipt log benchmarks: quorvex against its floor (the digests and the one
signature an append needs, made from C) and against a pure-Python receipt log
written with json and the blake3 package, measured in one run.

The printed-log audit is timed by its own native program (the second argument):
one thread against all of them, both against one libsodium verification per
receipt; ReceiptLog.audit is then timed from Python against the same floor.

Run with bench/run.sh, which builds the native floor programs first.
"""
import json
import os
import resource
import subprocess
import sys
import timeit

import blake3
import quorvex

REPEAT = 5
AGENT = "did:aid:example.com:agent-7"
JTI = "dat_01JGZ8Y4R3X0P9Q7V5T2M6K1NB"


def per_call(fn, number):
    timer = timeit.Timer(fn)
    return min(timer.repeat(repeat=REPEAT, number=number)) / number * 1e9


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def python_chain_check(receipts):
    """The chain check a Python user would write over the printed log."""
    expected = "genesis"
    for i, r in enumerate(receipts):
        chain = r["chain"]
        if chain["sequenceNumber"] != i or chain["previousHash"] != expected:
            raise ValueError(f"receipt chain integrity violation at sequence {i}")
        unsigned = {k: v for k, v in r.items() if k != "signature"}
        expected = "blake3:" + blake3.blake3(compact(unsigned).encode()).hexdigest()


def fill(log, key, count, data=b"x" * 1024):
    for _ in range(count):
        log.append(AGENT, JTI, "mcp:tool-call", data, key, server="files.example.com",
                   tool="read_file", output_data=data, duration_ms=12, session_id="s-1")


def memory_child(count):
    """Resident memory of a log of `count` receipts with 1 KiB input and output."""
    key = quorvex.KeyPair.generate()
    before = current_rss()
    log = quorvex.ReceiptLog()
    fill(log, key, count)
    after = current_rss()
    print(json.dumps({"rss": after, "growth": after - before, "peak": peak_rss()}))


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--memory":
        memory_child(int(sys.argv[2]))
        return
    binary = sys.argv[1]
    key = quorvex.KeyPair.generate()

    # A receipt's signing input is about this long for the arguments used below.
    sample = quorvex.ReceiptLog()
    fill(sample, key, 1)
    printed = json.loads(sample.to_json())[0]
    printed["signature"] = ""
    receipt_len = len(compact(printed).encode())
    floors = json.loads(subprocess.run([binary, "560", str(receipt_len), "1024"], check=True,
                                       capture_output=True, text=True).stdout)

    log = quorvex.ReceiptLog()
    data = b"x" * 1024
    append = per_call(lambda: log.append(AGENT, JTI, "mcp:tool-call", data, key,
                                         server="files.example.com", tool="read_file",
                                         output_data=data, duration_ms=12, session_id="s-1"),
                      3000)

    big = quorvex.ReceiptLog()
    fill(big, key, 100_000, b"")
    printed_big = json.loads(big.to_json())
    verify = per_call(big.verify_integrity, 1) / len(big)
    py_verify = per_call(lambda: python_chain_check(printed_big), 1) / len(big)

    ten = quorvex.ReceiptLog()
    fill(ten, key, 10_000, b"")
    data10 = json.loads(ten.to_json())
    to_json = per_call(ten.to_json, 5)
    dumps = per_call(lambda: json.dumps(data10, indent=2, ensure_ascii=False), 5)

    audit_floors = None
    if len(sys.argv) > 2:
        audit_floors = json.loads(subprocess.run([sys.argv[2], "100000"], check=True,
                                                 capture_output=True, text=True).stdout)
    printed_text = big.to_json()
    audit = per_call(lambda: quorvex.ReceiptLog.audit(printed_text, key.public_key_bytes),
                     1) / len(big)

    child = subprocess.run([sys.executable, __file__, "--memory", "1000000"], check=True,
                           capture_output=True, text=True)
    memory = json.loads(child.stdout)

    print(f"quorvex {quorvex.__version__} on Python {sys.version.split()[0]}; "
          f"ratios below 1 mean quorvex is faster. Receipt signing input: {receipt_len} bytes.")
    print(f"ReceiptLog.append (1 KiB in/out)  {append / 1000:8.2f} us  "
          f"vs floor (2 BLAKE3 + 1 sign in C) {append / floors['receipt']:5.2f}x")
    print(f"verify_integrity, per receipt     {verify / 1000:8.2f} us  "
          f"vs pure Python {verify / py_verify:5.3f}x ({py_verify / verify:.1f}x faster)")
    print(f"to_json of 10,000 receipts        {to_json / 1e6:8.2f} ms  "
          f"vs json.dumps(indent=2) {to_json / dumps:5.3f}x ({dumps / to_json:.1f}x faster)")
    print(f"1,000,000 receipts (1 KiB in/out) {memory['rss'] / 2**20:8.1f} MB resident, "
          f"{memory['growth'] / 2**20:.1f} MB for the log, peak {memory['peak'] / 2**20:.1f} MB")
    if audit_floors is not None:
        one = audit_floors["audit_one_thread"]
        every = audit_floors["audit_all_threads"]
        floor = audit_floors["verify"]
        threads = audit_floors["threads"]
        print(f"audit of 100,000 receipts (C++), per receipt: 1 thread {one / 1000:.2f} us, "
              f"{threads} threads {every / 1000:.2f} us: {one / every:.2f}x faster")
        print(f"  vs floor (1 verification per receipt in C, 1 thread) {floor / 1000:.2f} us: "
              f"1 thread {one / floor:5.2f}x, {threads} threads {every / floor:5.2f}x")
        print(f"ReceiptLog.audit, per receipt     {audit / 1000:8.2f} us  "
              f"vs floor {audit / floor:5.2f}x, vs C++ on {threads} threads {audit / every:5.2f}x")
    else:
        print(f"ReceiptLog.audit, per receipt     {audit / 1000:8.2f} us  "
              "(pass the audit program as the second argument for its floors)")


if __name__ == "__main__":
    main()
