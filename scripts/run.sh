#!/usr/bin/env bash
# Installs what is missing, builds, starts larkspire-server on its embedded demonstration
# database and opens the demonstration window against it; closing the window stops the server.
# Without a display it takes pictures of the demonstration's pages instead and says where.
#
# LARKSPIRE_PORT (18008), LARKSPIRE_DATA (build/larkspire-data) and LARKSPIRE_SCREENSHOTS
# (build/screenshots) override the defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh larkspire-server larkspire-demo
build_dir="${BUILD_DIR:-build}"
port="${LARKSPIRE_PORT:-18008}"
data_dir="${LARKSPIRE_DATA:-$build_dir/larkspire-data}"

if (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then
  echo "port $port is already in use; stop what listens there or set LARKSPIRE_PORT" >&2
  exit 1
fi
"$build_dir/server/larkspire-server" --port "$port" --data-dir "$data_dir" >/dev/null \
  2>>"$build_dir/larkspire-server.log" &
server=$!
stop_server() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
}
trap stop_server EXIT
trap 'exit 130' INT TERM
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { echo "larkspire-server did not start" >&2; exit 1; }
  sleep 0.1
done

demo="$build_dir/demo/larkspire-demo"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$demo" --host 127.0.0.1 --port "$port"
else
  shots="${LARKSPIRE_SCREENSHOTS:-$build_dir/screenshots}"
  echo "no display: taking pictures of the demonstration instead of opening its window"
  "$demo" --host 127.0.0.1 --port "$port" --screenshot "$shots" >/dev/null
  echo "pictures of the demonstration are in $(cd "$shots" && pwd)"
fi
