#!/usr/bin/env bash
# Builds the library, the server, the command-line client and their tests with AddressSanitizer
# and UndefinedBehaviorSanitizer into build-asan/ (no benchmarks, no Qt) and runs the tests there
# (the installed-example test is left out: it links an uninstrumented program against the
# instrumented archives). Any report fails the test that made it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir="${ASAN_BUILD_DIR:-build-asan}"
jobs="${SANITIZER_BUILD_JOBS:-2}"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
# -O1 and line tables only: the reports keep their file and line, the build stays short.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPIRE_BUILD_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
  "${launcher[@]}" >/dev/null
cmake --build "$build_dir" -j "$jobs"
# Plug-in tests crash runners on purpose (the signal must reach the host), and one test asks for
# an impossible allocation that must fail rather than abort.
export ASAN_OPTIONS=detect_leaks=1:handle_segv=0:allow_user_segv_handler=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build_dir"
ctest --output-on-failure -j 2 --timeout 900 -E installed_example
