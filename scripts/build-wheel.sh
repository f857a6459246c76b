#!/usr/bin/env bash
# Builds the sdist, then the abi3 wheel from that sdist (so the sdist is known to
# build), and repairs the wheel with auditwheel. Writes both to dist/ and fails if
# the wheel needs any library outside the manylinux policy: libsodium and libcrypto
# are linked statically (QUORVEX_STATIC_DEPS in pyproject.toml). The wheel carries
# the licence texts of what is linked into the module in .dist-info/licenses.
# Installs only what building needs; scripts/install-deps.sh adds the test tools.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

debian_packages=(g++ pkg-config libsodium-dev libssl-dev nlohmann-json3-dev librust-blake3-dev)
missing=()
for pkg in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
need=()
for pkg in scikit-build-core cmake ninja build auditwheel; do
  # -I: the checkout's build/ folder must not pass for the build package.
  "$python" -I -c "import ${pkg//-/_}" 2>/dev/null || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing Python packages: ${need[*]}"
  "$python" -m pip install -q --disable-pip-version-check "${need[@]}"
fi

# Licence texts of the code linked into the module, as Debian ships them with the
# packages it is built from; BLAKE3's from the crate whose C sources CMake compiles.
blake3_dir=$(find /usr/share/cargo/registry -maxdepth 1 -name 'blake3-*' | sort -V | tail -1)
licenses=(
  "libsodium/copyright=/usr/share/doc/libsodium-dev/copyright"
  "openssl/copyright=/usr/share/doc/libssl-dev/copyright"
  "openssl/Apache-2.0=/usr/share/common-licenses/Apache-2.0"
  "blake3/copyright=/usr/share/doc/librust-blake3-dev/copyright"
  "blake3/LICENSE=$blake3_dir/LICENSE"
  "nlohmann-json/copyright=/usr/share/doc/nlohmann-json3-dev/copyright"
  "sqlite/copyright=/usr/share/doc/libsqlite3-dev/copyright"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m build --sdist --no-isolation --outdir "$work" . >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
sdist=$(echo "$work"/quorvex-*.tar.gz)
# The wheel is built in a folder under the unpacked sdist, with the licence texts
# added to it (pyproject.toml's wheel.license-files); the sdist holds no binaries.
tar -xzf "$sdist" -C "$work"
source_dir=${sdist%.tar.gz}
for entry in "${licenses[@]}"; do
  mkdir -p "$(dirname "$source_dir/third-party-licenses/${entry%%=*}")"
  cp "${entry#*=}" "$source_dir/third-party-licenses/${entry%%=*}"
done
"$python" -m build --wheel --no-isolation --outdir "$work" "$source_dir" >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
raw_wheel=$(echo "$work"/quorvex-*-linux_*.whl)

external() {  # prints the libraries outside every manylinux policy that the wheel needs
  "$python" -m auditwheel show --json "$1" 2>"$work/show.log" |
    "$python" -c 'import json, sys; print(" ".join(json.load(sys.stdin)["external_libs"]))' ||
    { cat "$work/show.log" >&2; return 1; }
}
libs=$(external "$raw_wheel")
if [ -n "$libs" ]; then
  echo "the module needs libraries outside the manylinux policy: $libs" >&2
  exit 1
fi

mkdir -p dist
rm -f dist/quorvex-*.whl dist/quorvex-*.tar.gz
# With no ELF patcher, a library that would have to be vendored fails the repair.
"$python" -m auditwheel repair --patcher none -w dist "$raw_wheel" >"$work/repair.log" 2>&1 ||
  { cat "$work/repair.log"; exit 1; }
cp "$sdist" dist/
wheel=$(echo dist/quorvex-*manylinux*.whl)
if [ ! -f "$wheel" ] || ! libs=$(external "$wheel") || [ -n "$libs" ] ||
   "$python" -m zipfile -l "$wheel" | grep -q '\.libs/'; then
  echo "auditwheel did not produce a self-contained manylinux wheel:" >&2
  cat "$work/repair.log" >&2
  exit 1
fi

# A short account of the wheel: its tags, what is linked into it, the system
# libraries it loads, and the licence texts it carries (all of them, or this fails).
version() { pkg-config --modversion "$1"; }
linked="libsodium $(version libsodium), OpenSSL libcrypto $(version libcrypto), BLAKE3"
linked+=" ${blake3_dir##*-} (C sources), nlohmann-json $(version nlohmann_json), SQLite $(version sqlite3)"
"$python" - "$wheel" "dist/$(basename "$sdist")" "$linked" "${licenses[@]%%=*}" <<'EOF'
import json, subprocess, sys, zipfile
wheel, sdist, linked, expected = sys.argv[1], sys.argv[2], sys.argv[3], sorted(sys.argv[4:])
with zipfile.ZipFile(wheel) as archive:
    names = archive.namelist()
    info = next(n[:-len("/WHEEL")] for n in names if n.endswith(".dist-info/WHEEL"))
    tags = [line[len("Tag: "):] for line in archive.read(info + "/WHEEL").decode().splitlines()
            if line.startswith("Tag: ")]
licenses = info + "/licenses/third-party-licenses/"
carried = sorted(n[len(licenses):] for n in names
                 if n.startswith(licenses) and not n.endswith("/"))
if carried != expected:
    sys.exit(f"the wheel carries the licence texts {carried}, not {expected}")
if info + "/licenses/LICENSE" not in names:
    sys.exit("the wheel does not carry the project's LICENSE")
report = json.loads(subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", wheel],
                                   check=True, capture_output=True, text=True).stdout)
print(f"wheel:     {wheel}")
print(f"sdist:     {sdist}")
print(f"tags:      {', '.join(tags)} (auditwheel: {report['overall_tag']})")
print(f"linked in: {linked}; nothing vendored")
print(f"loads:     {', '.join(sorted(report['versioned_symbols']))}")
print(f"licences:  {info}/licenses/LICENSE and {licenses}{{{', '.join(carried)}}}")
EOF
