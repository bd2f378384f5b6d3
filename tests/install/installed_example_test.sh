#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, builds the example application against the
# installed package (CMake and pkg-config), and runs it against the installed server.
#   installed_example_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

# Only what an application needs is installed: no internal or server header, and each header
# compiles on its own against the installed tree alone.
include="$prefix/include"
internal=$(find "$include" -name '*_internal.h' -o -path '*/server/*' -o -name 'larkspire_plugin.h')
[ -z "$internal" ] || { echo "internal headers were installed:"; echo "$internal"; exit 1; }
for header in $(cd "$include/larkspire" && find . -name '*.h' -not -path './qt/*' | sort); do
  echo "#include <larkspire/${header#./}>" |
    g++ -std=c++20 -fsyntax-only -x c++ -I"$include" -I"$include/larkspire" - ||
    { echo "the installed ${header#./} does not compile on its own"; exit 1; }
done

# CMake: find_package(Larkspire 4.1 REQUIRED).
cmake -S "$source_dir/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
# pkg-config: the same program from the flags alone.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig"
g++ -o "$work/example-pc" "$source_dir/examples/query_and_edit.cpp" \
  $(pkg-config --cflags --libs larkspire)

# The installed server finds its plug-in helper relative to itself and serves the demo data.
"$prefix/bin/larkspire-server" --port 0 --data-dir "$work/data" >"$work/server.out" \
  2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/server.out" && break
  sleep 0.1
done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out")
[ -n "$port" ] || { echo "the installed server did not start:"; cat "$work/server.log"; exit 1; }

for program in "$work/example/query_and_edit" "$work/example-pc"; do
  out=$("$program" 127.0.0.1 "$port")
  echo "$out"
  [ "$(echo "$out" | grep -c $'\t')" -eq 3 ] || { echo "expected three product rows"; exit 1; }
  echo "$out" | grep -q "^product 1 now sold by the 箱$" || { echo "the edit was not posted"; exit 1; }
done
"$prefix/bin/larkspire" --port "$port" query "select ProUnit from products where ProId = 1" \
  --format csv | grep -q "箱" || { echo "the database does not hold the edit"; exit 1; }
# The live grid, where the Qt adapters were installed: two copies offscreen, an edit saved in
# one appears in the other through the table's notification.
if [ -x "$work/example/live_products" ]; then
  export QT_QPA_PLATFORM=offscreen
  "$work/example/live_products" --port "$port" --screenshot "$work/live.png" \
    >"$work/watcher.out" 2>"$work/watcher.log" &
  watcher_pid=$!
  for _ in $(seq 100); do
    grep -q "^listening" "$work/watcher.out" && break
    sleep 0.1
  done
  "$work/example/live_products" --port "$port" --set-price 1 7.25 >/dev/null
  wait "$watcher_pid" || { echo "the watching copy saw no change:"; cat "$work/watcher.log"; exit 1; }
  grep -q "^refreshed after table:products #1: product 1 .* retail price 7.25$" "$work/watcher.out" ||
    { echo "the watching copy did not refresh:"; cat "$work/watcher.out"; exit 1; }
  [ -s "$work/live.png" ] || { echo "the watching copy saved no picture"; exit 1; }
  echo "live_products: an edit saved in one copy appeared in the other"
  "$work/example/live_products" --port "$port" --set-price 999 1 2>/dev/null &&
    { echo "an edit of a missing product was reported as saved"; exit 1; }
fi
"$prefix/bin/larkspire" --port "$port" call PluginSample ReqType:int=0 a:int=2 b:int=3 |
  grep -q "Result:int=5" || { echo "the installed server did not run its plug-in"; exit 1; }
