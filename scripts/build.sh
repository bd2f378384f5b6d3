#!/usr/bin/env bash
# Configures and builds into build/ (BUILD_DIR overrides): everything, or only the targets
# named on the command line.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "${launcher[@]}" \
  >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
