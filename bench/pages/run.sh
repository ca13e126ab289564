#!/bin/sh
# A realistic script page through the whole HTTP stack: the shipped
# navigation include with its locale lookups, then a table of 100 rows,
# each with substitution, arithmetic, a condition and three json lookups in
# a status document. Measured with wrk at 1 and 10 connections (one
# thread); prints requests/s and p99 latency for the page and, for scale,
# for a static file of the same server.
# Needs the Debian package wrk (installed here when missing) and a native
# build (tools/test.sh native, or KV_BUILD=<build dir>).
# Usage: bench/pages/run.sh [seconds per case, default 10]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-10}
build=${KV_BUILD:-$root/build/native}
libs=""
for lib in kv_app kv_cloud kv_api kv_pages kv_script kv_supervision kv_ups kv_web kv_net kv_core; do
  [ -f "$build/service/lib$lib.a" ] || { echo "build first: tools/test.sh native (or set KV_BUILD)"; exit 2; }
  libs="$libs $build/service/lib$lib.a"
done

if ! command -v wrk >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  echo "installing: wrk"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wrk >/dev/null
fi

work=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

c++ -O2 -std=c++20 -I"$root" "$root/bench/pages/bench_pages.cpp" \
  -Wl,--start-group $libs -Wl,--end-group $(pkg-config --libs libgcrypt) -lpthread -o "$work/bench_pages"

prog="$work/prog"
mkdir -p "$prog/tmp" "$prog/user" "$prog/www/base" "$prog/www/page" "$prog/www/locale/en"
cp "$root/www/base/nav.htm" "$prog/www/base/nav.htm"
cp "$root/www/locale/en/locale.txt" "$prog/www/locale/en/locale.txt"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 >"$prog/www/small.txt"
cat >"$prog/www/page/rows.htm" <<'PAGE'
<!DOCTYPE html>
<html lang="<$ echo $language $>" dir="<$ locale [base] dir $>">
<head>
<meta charset="utf-8">
<title><$ locale [main] title $> &middot; <$ locale [base] product $></title>
</head>
<body>
<$ include /base/nav.htm $>
<$
  doc = #{"return":[{"name":"input","value":230.4,"unit":"V"},{"name":"output","value":229.8,"unit":"V"},{"name":"frequency","value":50.0,"unit":"Hz"},{"name":"load","value":37,"unit":"%"},{"name":"battery","value":100,"unit":"%"},{"name":"runtime","value":41,"unit":"min"},{"name":"temperature","value":31.5,"unit":"C"},{"name":"battery_voltage","value":27.3,"unit":"V"},{"name":"bypass","value":230.1,"unit":"V"},{"name":"rating","value":1500,"unit":"VA"}]}#
  i = 0
$>
<table class="data">
<thead><tr><th>#</th><th><$ locale [main] title $></th><th>value</th><th>unit</th></tr></thead>
<tbody>
<$ while [ ( $i < 100 ) ] $>
<$ k = ( $i % 10 ); if [ ( $k < 5 ) ] then row = even; else row = odd; fi $>
<tr class="<$ echo $row $>" id="row-<$ echo $i $>"><td><$ echo ( $i + 1 ) $></td><td><$ json $doc return $k name $></td><td><$ json $doc return $k value $></td><td><$ json $doc return $k unit $></td></tr>
<$ i = ( $i + 1 ); done $>
</tbody>
</table>
<footer><$ locale [base] footer $></footer>
</body>
</html>
PAGE

port=$((31000 + $$ % 1000))
(cd "$prog" && exec "$work/bench_pages" "$port" >"$work/server.log" 2>&1) &
server=$!
i=0
while ! curl -s -o /dev/null "http://127.0.0.1:$port/small.txt"; do
  i=$((i + 1))
  [ $i -gt 100 ] && { echo "no server on port $port"; cat "$work/server.log"; exit 1; }
  sleep 0.1
done

# The page must render before it is measured: 100 rows, no script error.
curl -s "http://127.0.0.1:$port/page/rows.htm" >"$work/page.htm"
rows=$(grep -c '<tr class=' "$work/page.htm" || true)
if [ "$rows" != 100 ] || grep -q ' ( line ' "$work/page.htm"; then
  echo "the page did not render as expected ($rows rows):"
  head -c 2000 "$work/page.htm"
  exit 1
fi
echo "page: $(wc -c <"$work/page.htm") bytes, $rows rows"

measure() {  # path connections -> "requests_per_s p99_ms"
  out=$(wrk -t1 -c"$2" -d"${secs}s" --latency "http://127.0.0.1:$port$1")
  echo "$out" | awk '
    /Requests\/sec:/ { rps = $2 }
    $1 == "99%" {
      v = $2; unit = v; sub(/[0-9.]+/, "", unit); sub(/[a-z]+$/, "", v)
      ms = v; if (unit == "us") ms = v / 1000; if (unit == "s") ms = v * 1000
      p99 = ms
    }
    END { printf "%s %s\n", rps, p99 }'
}

echo "wrk, one thread, ${secs}s per case"
printf '%-26s %12s %10s\n' case req/s p99
for path in /page/rows.htm /small.txt; do
  for conns in 1 10; do
    set -- $(measure "$path" "$conns")
    awk -v p="$path" -v c="$conns" -v a="$1" -v b="$2" 'BEGIN { printf "%-26s %12.0f %8.2fms\n", p " c=" c, a, b }'
  done
done
