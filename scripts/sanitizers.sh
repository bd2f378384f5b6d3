#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ and runs
# the test suite there (the installed-example test is left out: it links an uninstrumented
# program against the instrumented archives).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPIRE_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-asan -j "$(nproc)"
# Plug-in tests crash runners on purpose (the signal must reach the host), and one test asks for
# an impossible allocation that must fail rather than abort.
export ASAN_OPTIONS=detect_leaks=1:handle_segv=0:allow_user_segv_handler=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
cd build-asan
ctest --output-on-failure -j 2 --timeout 900 -E installed_example
