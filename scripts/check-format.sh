#!/usr/bin/env bash
# Fails when a C++ file that git tracks differs from what clang-format makes of it (the rules
# are in .clang-format). `clang-format -i FILE` mends a file it names.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
