#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (the end-to-end tests start their own
# server and PostgreSQL cluster).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j 2 --timeout 900
