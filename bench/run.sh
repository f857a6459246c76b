#!/usr/bin/env bash
# Builds and installs the module and the native floor program, then prints the ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
scripts/install-deps.sh
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation .
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_MODULE=OFF \
  -DQUORVEX_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target native_bench identity_native_bench audit_native_bench \
  json_native_bench fsync_native_bench
"$python" bench/bench.py build/bench/native_bench
"$python" bench/receipts_bench.py build/bench/native_bench build/bench/audit_native_bench
"$python" bench/identity_bench.py build/bench/identity_native_bench
build/bench/json_native_bench
"$python" bench/service_bench.py
"$python" bench/delegation_bench.py build/bench/native_bench
"$python" bench/store_bench.py build/bench/native_bench build/bench/fsync_native_bench
