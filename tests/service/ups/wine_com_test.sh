#!/bin/sh
# The Windows port layer against the UPS simulator: Wine maps COM5 to the
# simulator's pseudo-terminal (HKLM\Software\Wine\Ports), then the real-time
# tests of the Windows test_ups.exe run through that COM port.
# usage: wine_com_test.sh TEST_EXE SOURCE_DIR [UPSSIM]
# The simulator is a Linux program; without UPSSIM it is compiled here from
# its single source file. Only COM5 is ever opened (serial_scan = 0 in the
# tests): the prefix's other COM ports may be real devices of the machine.
set -u
exe=$1
src=$2
sim=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/kv-winecom.XXXXXX") || exit 1
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim_pid=

finish() {
  # Wine first: a wineserver that outlives the terminal dumps its objects.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM

if [ -z "$sim" ]; then
  sim="$work/upssim"
  c++ -std=c++20 -O1 -o "$sim" "$src/tools/upssim/upssim.cpp" || exit 1
fi

"$sim" --kind q1 --link "$work/tty" --control "$work/ctl" --log "$work/log" --lifetime 900 >/dev/null 2>&1 &
sim_pid=$!
i=0
while ! grep -q '^pty ' "$work/log" 2>/dev/null; do
  i=$((i + 1))
  if [ $i -gt 100 ]; then echo "wine_com_test: simulator did not start" >&2; exit 1; fi
  sleep 0.1
done
pty=$(readlink "$work/tty")
echo "wine_com_test: COM5 -> $pty"

wineboot -i >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$pty" /f >/dev/null || exit 1
# The port mapping is read when the server starts.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1

# Wine does not enforce the share mode of COM devices.
KV_TEST_COM=COM5 KV_TEST_SHARED_COM=1 wine "$exe" --gtest_filter='SimLink.*'
rc=$?
exit $rc
