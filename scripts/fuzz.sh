#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang, ASan and UBSan, and runs each for a
# bounded time on a copy of its seed corpus (fuzz/corpus/<target>/ is never written).
# Exits non-zero when a target crashes, leaks, times out or finds a disagreement; the input
# that did it is kept under <build dir>/findings/.
#
#   scripts/fuzz.sh                  every target, 15 seconds each, as many at once as cores
#   scripts/fuzz.sh -t 600 claims    one target for ten minutes
#   scripts/fuzz.sh -l               list the targets
#
# Extra libFuzzer flags may follow "--": scripts/fuzz.sh -t 60 token -- -max_len=512
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FUZZ_BUILD_DIR:-build/fuzz}
seconds=15
jobs=$(nproc)
list=0
targets=()
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) seconds=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    -l) list=1; shift ;;
    --) shift; extra=("$@"); break ;;
    -*) echo "usage: $0 [-t seconds] [-j jobs] [-l] [target...] [-- libFuzzer flags]" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

all=()
for source in fuzz/*_fuzz.cpp; do
  name=${source##*/}
  all+=("${name%_fuzz.cpp}")
done
if [ "$list" = 1 ]; then
  printf '%s\n' "${all[@]}"
  exit 0
fi
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for target in "${targets[@]}"; do
  if [ ! -f "fuzz/${target}_fuzz.cpp" ]; then
    echo "no fuzz target '$target' (scripts/fuzz.sh -l lists them)" >&2
    exit 2
  fi
done

scripts/install-deps.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEX_FUZZ=ON -DQUORVEX_BUILD_MODULE=OFF -DQUORVEX_BUILD_TESTS=OFF \
  -DQUORVEX_WERROR=ON >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=$(realpath "$build_dir")/findings
mkdir -p "$findings"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# run_target fuzzes one target, leaving its log and exit status in $work.
run_target() {
  local target=$1 status=0
  mkdir -p "$work/corpus/$target"
  cp -R "fuzz/corpus/$target/." "$work/corpus/$target/"
  "$build_dir/fuzz/${target}_fuzz" -max_total_time="$seconds" -runs=50000000 -timeout=10 \
    -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "${extra[@]}" "$work/corpus/$target" \
    >"$work/$target.log" 2>&1 || status=$?
  echo "$status" >"$work/$target.status"
}

for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "$target" &
done
wait

failed=()
for target in "${targets[@]}"; do
  stat() { sed -n "s/^stat::$1: *//p" "$work/$target.log"; }
  printf '%-20s %10s runs %8s exec/s\n' "$target" "$(stat number_of_executed_units)" \
    "$(stat average_exec_per_sec)"
  [ "$(cat "$work/$target.status")" = 0 ] || failed+=("$target")
done
for target in "${failed[@]}"; do
  echo "== $target failed; its log ends:"
  tail -n 40 "$work/$target.log"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "The inputs that failed are in $findings" >&2
  exit 1
fi
