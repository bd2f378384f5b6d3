#!/usr/bin/env bash
# Builds the tests of what runs on several threads (the connection with its worker thread and
# idle watch, the server's sessions and connection pool, the datagram transport) with
# ThreadSanitizer into build-tsan/ and runs them. Any data race or lock-order inversion fails
# the test that made it; scripts/tsan.supp holds the suppressions, each with its reason
# (third-party code only).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir="${TSAN_BUILD_DIR:-build-tsan}"
jobs="${SANITIZER_BUILD_JOBS:-2}"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
mapfile -t tests < <(cd tests && ls connection_test.cpp server_test.cpp server_session*_test.cpp server_limits_test.cpp \
  server_connection_pool_test.cpp \
  datagram_*_test.cpp sending_window_test.cpp 2>/dev/null | sed 's/\.cpp$//' | sort -u)
flags="-fsanitize=thread"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPIRE_BUILD_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
  "${launcher[@]}" >/dev/null
targets=()
for test in "${tests[@]}"; do targets+=(--target "$test"); done
cmake --build "$build_dir" -j "$jobs" "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
cd "$build_dir"
ctest --output-on-failure -j 2 --timeout 900 -R "^($(IFS='|'; echo "${tests[*]}"))\$"
