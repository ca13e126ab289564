#!/bin/sh
# Builds the service and runs it from a program folder under the build tree,
# with its web interface on the port of appinfo.inf.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/deps.sh run
out=${KV_BUILD_ROOT:-$root/build}
cmake -S . -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF >/dev/null
cmake --build "$out/native" --target kelvane -j"$(nproc 2>/dev/null || echo 2)"
prog="$out/demo"
mkdir -p "$prog"
cp "$out/native/service/kelvane" "$prog/kelvane"
if [ ! -f "$prog/appinfo.inf" ]; then
  sed 's/^os=windows/os=linux/' dist/appinfo.inf > "$prog/appinfo.inf"
fi
port=$(sed -n 's/^webport=//p' "$prog/appinfo.inf" | tr -d '\r')
echo "kelvane: program folder $prog, web interface on http://localhost:${port:-9800}/ (Ctrl-C stops)"
exec "$prog/kelvane"
