#!/usr/bin/env bash
# C++ unit tests (ctest), then the Python suite (pytest) against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
build_dir=${BUILD_DIR:-build/tests}
scripts/install-deps.sh

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=ON \
  -DQUORVEX_BUILD_MODULE=ON -DQUORVEX_WERROR=ON >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"

"$python" -m pip install -q --disable-pip-version-check --no-build-isolation .
(cd sdks/python/tests && "$python" -m pytest -q -p no:cacheprovider .)
