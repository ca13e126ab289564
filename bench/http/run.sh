#!/bin/sh
# Static files over keep-alive connections, the service's HTTP server
# against nginx (one worker) on the same machine and the same files, both
# measured with wrk in one run: a 1 KB ".txt" file and a 2.6 MB file, with
# 1 and 100 connections. Prints requests/s, p99 latency and our ratio to
# nginx for each case.
# Needs the Debian packages wrk and nginx (installed here when missing) and
# a native build (tools/test.sh native, or KV_BUILD=<build dir>).
# Usage: bench/http/run.sh [seconds per case, default 10]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-10}
build=${KV_BUILD:-$root/build/native}
for lib in kv_web kv_net kv_core; do
  [ -f "$build/service/lib$lib.a" ] || { echo "build first: tools/test.sh native (or set KV_BUILD)"; exit 2; }
done

missing=""
command -v wrk >/dev/null 2>&1 || missing="$missing wrk"
[ -x /usr/sbin/nginx ] || missing="$missing nginx"
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  echo "installing:$missing"
  # Keep the package's own nginx service from starting on port 80.
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    policy=yes
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
  [ -n "$policy" ] && $SUDO rm -f /usr/sbin/policy-rc.d
fi

work=$(mktemp -d)
ours=""
theirs=""
cleanup() {
  [ -n "$ours" ] && kill "$ours" 2>/dev/null && wait "$ours" 2>/dev/null
  [ -n "$theirs" ] && kill "$theirs" 2>/dev/null && wait "$theirs" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

c++ -O2 -std=c++20 -I"$root" "$root/bench/http/bench_server.cpp" \
  "$build/service/libkv_web.a" "$build/service/libkv_net.a" "$build/service/libkv_core.a" -lpthread \
  -o "$work/bench_server"

# The same files for both servers.
mkdir -p "$work/prog/www/lib" "$work/prog/tmp" "$work/nginx"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 >"$work/prog/www/small.txt"
head -c 2600000 /dev/urandom >"$work/prog/www/lib/large.bin"

port_ours=$((30000 + $$ % 1000))
port_nginx=$((port_ours + 1000))
(cd "$work/prog" && exec "$work/bench_server" "$port_ours" >"$work/ours.log" 2>&1) &
ours=$!

cat >"$work/nginx/nginx.conf" <<EOF
user root;
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { text/plain txt; application/octet-stream bin; }
  server {
    listen 127.0.0.1:$port_nginx;
    root $work/prog/www;
  }
}
EOF
/usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
theirs=$!

wait_port() {
  i=0
  while ! curl -s -o /dev/null "http://127.0.0.1:$1/small.txt"; do
    i=$((i + 1))
    [ $i -gt 100 ] && { echo "no server on port $1"; exit 1; }
    sleep 0.1
  done
}
wait_port "$port_ours"
wait_port "$port_nginx"

# wrk prints "Requests/sec: N" and, with --latency, "99% T" (us, ms or s).
measure() {  # port path connections -> "requests_per_s p99_ms"
  out=$(wrk -t1 -c"$3" -d"${secs}s" --latency "http://127.0.0.1:$1$2")
  echo "$out" | awk '
    /Requests\/sec:/ { rps = $2 }
    $1 == "99%" {
      v = $2; unit = v; sub(/[0-9.]+/, "", unit); sub(/[a-z]+$/, "", v)
      ms = v; if (unit == "us") ms = v / 1000; if (unit == "s") ms = v * 1000
      p99 = ms
    }
    END { printf "%s %s\n", rps, p99 }'
}

echo "wrk, one thread, ${secs}s per case; nginx 1 worker, sendfile on"
printf '%-22s %12s %10s %12s %10s %8s\n' case ours_req/s ours_p99 nginx_req/s nginx_p99 ratio
for file in /small.txt /lib/large.bin; do
  for conns in 1 100; do
    set -- $(measure "$port_ours" "$file" "$conns"); o_rps=$1; o_p99=$2
    set -- $(measure "$port_nginx" "$file" "$conns"); n_rps=$1; n_p99=$2
    awk -v f="$file" -v c="$conns" -v a="$o_rps" -v b="$o_p99" -v x="$n_rps" -v y="$n_p99" 'BEGIN {
      printf "%-22s %12.0f %8.2fms %12.0f %8.2fms %8.2f\n", f " c=" c, a, b, x, y, (x > 0 ? a / x : 0)
    }'
  done
done
