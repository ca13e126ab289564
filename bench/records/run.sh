#!/bin/sh
# The newest page of a 100 MiB record log: the seeking listing beside the
# full rescan, in one run on the same file (page cache warm: the file was
# just written). Needs a native build (tools/test.sh native, or
# KV_BUILD=<build dir>) and about 200 MB in the temporary folder.
# Usage: bench/records/run.sh
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KV_BUILD:-$root/build/native}
libs=""
for lib in kv_supervision kv_ups kv_net kv_core; do
  [ -f "$build/service/lib$lib.a" ] || { echo "build first: tools/test.sh native (or set KV_BUILD)"; exit 2; }
  libs="$libs $build/service/lib$lib.a"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
c++ -O2 -std=c++20 -I"$root" "$root/bench/records/bench_records.cpp" $libs -lpthread -o "$work/bench_records"
"$work/bench_records"
