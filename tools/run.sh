#!/bin/sh
# Builds the service and its installation tree and runs it from a program
# folder under the build tree, against a simulated UPS, with its web
# interface on the port of appinfo.inf. The simulated UPS loses mains power
# now and then and runs a self test, so that the interface has something to
# show; KV_DEMO_QUIET=1 keeps it steady.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/deps.sh run
out=${KV_BUILD_ROOT:-$root/build}
cmake -S . -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF >/dev/null
cmake --build "$out/native" --target install_tree upssim -j"$(nproc 2>/dev/null || echo 2)"
bin="$out/native/install/bin"
prog="$out/demo"
mkdir -p "$prog"
rm -f "$prog/kelvane"
cp "$bin/kelvane" "$prog/kelvane"
cp "$bin/pack.www" "$prog/pack.www"
[ -d "$bin/alarm" ] && cp -r "$bin/alarm" "$prog/"
# The demo never powers this machine off: its shutdown script only notes
# when the real one would have run.
mkdir -p "$prog/alarm"
cat > "$prog/alarm/shutdown.sh" <<'DEMO'
#!/bin/sh
echo "$(date) the shutdown script would power this computer off now" >> "$(dirname "$0")/../shutdown-demo.log"
DEMO
chmod +x "$prog/alarm/shutdown.sh"
if [ ! -f "$prog/appinfo.inf" ]; then
  sed 's/^os=windows/os=linux/' "$bin/appinfo.inf" > "$prog/appinfo.inf"
fi
# The web package of this build is installed at start even when its build
# number is the one already installed.
rm -f "$prog/var/build.txt"
# A simulated UPS on a pseudo-terminal is the only port the service tries
# (never a real serial device of this machine). Drive it with one-line
# commands, e.g.: echo "mains off" > build/demo/ups-ctl
"$out/native/tools/upssim/upssim" --kind q1 --link "$prog/ups-tty" --control "$prog/ups-ctl" \
  --log "$prog/upssim.log" >/dev/null 2>&1 &
sim=$!
scenario=""
trap 'kill $sim $scenario 2>/dev/null' EXIT INT TERM
sed -i -e '/^serial_ports=/d' -e '/^serial_scan=/d' \
  -e "/^\[app\]/a serial_ports=$prog/ups-tty\nserial_scan=0" "$prog/appinfo.inf"
if [ "${KV_DEMO_QUIET:-0}" != 1 ]; then
  (
    ctl="$prog/ups-ctl"
    sleep 60
    while [ -p "$ctl" ]; do
      echo "mains off" > "$ctl"; sleep 40
      echo "mains on" > "$ctl"; sleep 80
      echo "test run" > "$ctl"; sleep 100
    done
  ) &
  scenario=$!
fi
port=$(sed -n 's/^webport=//p' "$prog/appinfo.inf" | tr -d '\r')
echo "kelvane: program folder $prog, web interface on http://localhost:${port:-9800}/ (Ctrl-C stops)"
echo "kelvane: simulated UPS on $prog/ups-tty, control with: echo 'mains off' > $prog/ups-ctl"
[ -n "$scenario" ] && echo "kelvane: every few minutes the simulated UPS loses mains power for 40 s and runs a self test"
"$prog/kelvane"
