#!/bin/sh
# Idle cost of the service over one minute: wakeups (voluntary context
# switches of all its threads), CPU time (schedstat) and anonymous memory
# (RssAnon), printed beside the targets and as ratios to them.
# Usage: bench/idle/run.sh [seconds]   (needs a native build in build/native)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-60}
exe="$root/build/native/service/kelvane"
[ -x "$exe" ] || { echo "build first: tools/test.sh native"; exit 2; }
prog=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$prog"' EXIT
cp "$exe" "$prog/kelvane"
printf '[app]\nos=linux\nwebport=-30000\nserial_scan=0\n\n[]\n' > "$prog/appinfo.inf"
[ -n "${KV_SERIAL_PORTS:-}" ] && printf '[app]\nos=linux\nwebport=-30000\nserial_scan=0\nserial_ports=%s\n\n[]\n' "$KV_SERIAL_PORTS" > "$prog/appinfo.inf"
(cd "$prog" && exec ./kelvane >"$prog/console.txt" 2>&1) &
pid=$!
sleep 5  # start-up is not idle time

sample() {
  sw=0; ns=0
  for t in /proc/"$pid"/task/*; do
    s=$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$t/status")
    n=$(cut -d' ' -f1 "$t/schedstat")
    sw=$((sw + s)); ns=$((ns + n))
  done
  echo "$sw $ns"
}
set -- $(sample); sw0=$1; ns0=$2
sleep "$secs"
set -- $(sample); sw1=$1; ns1=$2
anon=$(sed -n 's/^RssAnon:[[:space:]]*\([0-9]*\).*/\1/p' /proc/"$pid"/status)
wake=$(( (sw1 - sw0) * 60 / secs ))
cpu_us=$(( (ns1 - ns0) * 60 / secs / 1000 ))
echo "idle over ${secs}s, per minute:"
awk -v w="$wake" -v c="$cpu_us" -v a="$anon" 'BEGIN {
  printf "  wakeups      %8d   target 100      ratio %.2f\n", w, w / 100
  printf "  cpu          %8.3f ms target 3 ms     ratio %.2f\n", c / 1000, c / 3000
  printf "  RssAnon      %8d kB target 1536 kB  ratio %.2f\n", a, a / 1536
}'
