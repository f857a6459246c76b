#!/usr/bin/env bash
# Builds and installs the module, then runs examples/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
scripts/install-deps.sh
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$python" examples/demo.py
