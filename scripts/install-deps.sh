#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test quorvex:
# compilers and libraries from Debian, build and test tools from PyPI.
# Installs nothing that is already present. With --lint it adds clang-format and
# clang-tidy, which CI uses; with --fuzz, clang with its sanitizer and libFuzzer
# runtimes (scripts/fuzz.sh). The flags combine. CMake and Ninja come from PyPI
# (CMake 3.26 or newer is needed; Debian 12 ships 3.25). build and auditwheel make
# the manylinux wheel (scripts/build-wheel.sh).
set -euo pipefail

debian_packages=(g++ pkg-config libsodium-dev libssl-dev nlohmann-json3-dev libgtest-dev
                 librust-blake3-dev libsqlite3-dev golang-go golang-golang-x-mod-dev)
for flag in "$@"; do
  case "$flag" in
    --lint) debian_packages+=(clang-format clang-tidy) ;;
    --fuzz) debian_packages+=(clang libclang-rt-14-dev) ;;
    *) echo "usage: $0 [--lint] [--fuzz]" >&2; exit 2 ;;
  esac
done
python_packages=(scikit-build-core cmake ninja build auditwheel pytest cryptography blake3 joserfc
                 PyJWT PyNaCl starlette uvicorn httpx)

missing=()
for pkg in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
need=()
for pkg in "${python_packages[@]}"; do
  module=${pkg//-/_}
  case "$pkg" in
    PyJWT) module=jwt ;;
    PyNaCl) module=nacl ;;
    scikit-build-core) module=scikit_build_core ;;
  esac
  # -I: the checkout's build/ folder must not pass for the build package.
  "$python" -I -c "import $module" 2>/dev/null || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing Python packages: ${need[*]}"
  "$python" -m pip install -q --disable-pip-version-check "${need[@]}"
fi

# An independent DID document reader for one interop test, which is skipped without it.
if ! "$python" -c "import pydid" 2>/dev/null; then
  "$python" -m pip install -q --disable-pip-version-check pydid ||
    echo "pydid did not install; the DID document interop test will be skipped"
fi
