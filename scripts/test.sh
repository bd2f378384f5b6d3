#!/usr/bin/env bash
# Installs what is missing, checks the formatting of the C++ files (scripts/check-format.sh) and
# the layering of the server's folders (scripts/check-layers.py),
# builds, and runs every test (the end-to-end tests start their own
# server and PostgreSQL cluster). Then, one build after another: the non-GUI tests again with
# AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitizers.sh), the tests of what runs
# on several threads with ThreadSanitizer (scripts/tsan.sh), and every fuzz target for
# LARKSPIRE_FUZZ_SECONDS seconds, 20 by default (scripts/fuzz.sh). Any failure, sanitizer
# report, crash or leak fails the whole.
#
# LARKSPIRE_QUICK=1 runs the plain build and tests only (for developers, between commits).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
start=$SECONDS
step() { echo "=== $1 (at $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s)"; }

step "formatting and layering"
scripts/check-format.sh
scripts/check-layers.py
step "build and tests"
scripts/build.sh
(cd "${BUILD_DIR:-build}" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 --timeout 900)
if [ "${LARKSPIRE_QUICK:-0}" = 1 ]; then
  step "done (quick)"
  exit 0
fi
step "AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/sanitizers.sh
step "ThreadSanitizer"
scripts/tsan.sh
step "fuzz targets"
scripts/fuzz.sh "${LARKSPIRE_FUZZ_SECONDS:-20}"
step "done"
