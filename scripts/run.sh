#!/usr/bin/env bash
# Installs what is missing, builds, starts the server on its embedded demo database and talks
# to it with the command-line client. The server keeps running until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build_dir="${BUILD_DIR:-build}"
port="${LARKSPIRE_PORT:-8008}"
"$build_dir/server/larkspire-server" --port "$port" --data-dir "${LARKSPIRE_DATA:-larkspire-data}" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT INT TERM
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  sleep 0.1
done
"$build_dir/cli/larkspire" --port "$port" --client-name demo status
"$build_dir/cli/larkspire" --port "$port" query \
  "select ProCode, ProName, ProKind, ProUnit, RetaiPrice from products order by ProCode" \
  --page 1 --page-size 10
echo "server running on port $port (Ctrl-C stops it)"
wait $server
