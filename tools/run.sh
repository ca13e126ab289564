#!/bin/sh
# Builds the service and runs it from a program folder under the build tree,
# with its web interface on the port of appinfo.inf.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/deps.sh run
out=${KV_BUILD_ROOT:-$root/build}
cmake -S . -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF >/dev/null
cmake --build "$out/native" --target kelvane upssim -j"$(nproc 2>/dev/null || echo 2)"
prog="$out/demo"
mkdir -p "$prog"
rm -f "$prog/kelvane"
cp "$out/native/service/kelvane" "$prog/kelvane"
if [ ! -f "$prog/appinfo.inf" ]; then
  sed 's/^os=windows/os=linux/' dist/appinfo.inf > "$prog/appinfo.inf"
fi
# A simulated UPS on a pseudo-terminal is the only port the service tries
# (never a real serial device of this machine). Drive it with one-line
# commands, e.g.: echo "mains off" > build/demo/ups-ctl
"$out/native/tools/upssim/upssim" --kind q1 --link "$prog/ups-tty" --control "$prog/ups-ctl" \
  --log "$prog/upssim.log" >/dev/null 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null' EXIT INT TERM
sed -i -e '/^serial_ports=/d' -e '/^serial_scan=/d' \
  -e "/^\[app\]/a serial_ports=$prog/ups-tty\nserial_scan=0" "$prog/appinfo.inf"
port=$(sed -n 's/^webport=//p' "$prog/appinfo.inf" | tr -d '\r')
echo "kelvane: program folder $prog, web interface on http://localhost:${port:-9800}/ (Ctrl-C stops)"
echo "kelvane: simulated UPS on $prog/ups-tty, control with: echo 'mains off' > $prog/ups-ctl"
"$prog/kelvane"
