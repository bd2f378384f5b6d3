#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs each for a bounded time: SECONDS each (default 60), or the targets
# named after it. Seeds come from larkspire-fuzz-corpus (the tests' kinds of messages) and from
# fuzz/corpus/<target>/, which keeps every input that once found a fault. Fails when any target
# crashes, leaks, reads or writes past a buffer, or trips over undefined behaviour; the input
# is then in build-fuzz/findings/<target>/ and the log in build-fuzz/logs/<target>.log.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${FUZZ_BUILD_JOBS:-2}"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLARKSPIRE_BUILD_FUZZ=ON -DLARKSPIRE_BUILD_TESTS=OFF -DLARKSPIRE_BUILD_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON "${launcher[@]}" >/dev/null
mapfile -t all < <(cd fuzz && ls ./*_fuzzer.cpp | sed 's|^\./||; s|\.cpp$||')
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
build=()
for target in "${targets[@]}" larkspire-fuzz-corpus; do build+=(--target "$target"); done
cmake --build "$build_dir" -j "$jobs" "${build[@]}"

seeds="$build_dir/seeds"
rm -rf "$seeds"
mkdir -p "$build_dir/logs"
if ! "$build_dir/fuzz/larkspire-fuzz-corpus" "$seeds" tests/data >"$build_dir/logs/seeds.log" 2>&1
then
  cat "$build_dir/logs/seeds.log"
  exit 1
fi

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
failed=()
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  findings="$build_dir/findings/$target"
  mkdir -p "$corpus" "$findings" "$seeds/$target" "fuzz/corpus/$target"
  log="$build_dir/logs/$target.log"
  # One worker: the machine is shared. The corpus folder first: new inputs are kept there.
  if "$build_dir/fuzz/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -max_len=65536 -artifact_prefix="$findings/" -print_final_stats=1 \
      "$corpus" "$seeds/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" |
      grep -o '[0-9]*$') runs, no fault"
  else
    echo "$target: FAULT (log: $log, input: $findings/)"
    grep -E "^==[0-9]+==ERROR|runtime error|check failed|does not|ERROR: libFuzzer|SUMMARY" \
      "$log" | head -5 || true
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets with faults: ${failed[*]}"
  exit 1
fi
