#!/usr/bin/env bash
# Builds the sdist, then the abi3 wheel from that sdist (so the sdist is known to
# build), and repairs the wheel with auditwheel. Writes both to dist/ and fails if
# the wheel needs any library outside the manylinux policy: libsodium and libcrypto
# are linked statically (QUORVEX_STATIC_DEPS in pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
PYTHON=$python scripts/install-deps.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The wheel is built in a folder under $work, inside the unpacked sdist.
"$python" -m build --no-isolation --outdir "$work" . >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
sdist=$(echo "$work"/quorvex-*.tar.gz)
raw_wheel=$(echo "$work"/quorvex-*-linux_*.whl)

external() {  # prints the libraries outside every manylinux policy that the wheel needs
  "$python" -m auditwheel show --json "$1" |
    "$python" -c 'import json, sys; print(" ".join(json.load(sys.stdin)["external_libs"]))'
}
if [ -n "$(external "$raw_wheel")" ]; then
  echo "the module needs libraries outside the manylinux policy: $(external "$raw_wheel")" >&2
  exit 1
fi

mkdir -p dist
rm -f dist/quorvex-*.whl dist/quorvex-*.tar.gz
# With no ELF patcher, a library that would have to be vendored fails the repair.
"$python" -m auditwheel repair --patcher none -w dist "$raw_wheel" >"$work/repair.log" 2>&1 ||
  { cat "$work/repair.log"; exit 1; }
cp "$sdist" dist/
wheel=$(echo dist/quorvex-*manylinux*.whl)
if [ ! -f "$wheel" ] || [ -n "$(external "$wheel")" ] ||
   "$python" -m zipfile -l "$wheel" | grep -q '\.libs/'; then
  echo "auditwheel did not produce a self-contained manylinux wheel:" >&2
  cat "$work/repair.log" >&2
  exit 1
fi
"$python" -m auditwheel -v show "$wheel"
echo "$wheel"
echo "dist/$(basename "$sdist")"
