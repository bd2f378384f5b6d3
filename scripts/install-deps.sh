#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config zlib1g-dev libpugixml-dev libsqlite3-dev libpq-dev libisal-dev
  postgresql googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libedit-dev
  libssl-dev prometheus-cpp-dev prometheus python3 sqlite3 libx11-dev xvfb qt6-base-dev
  fonts-wqy-microhei clang clang-format libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
