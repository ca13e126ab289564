#!/bin/sh
# Builds every configuration and runs every test:
#   native release, native with ASan+UBSan, Windows cross build under Wine,
#   and a short run of each libFuzzer target.
# Usage: tools/test.sh [native|asan|win|fuzz ...]   (default: all four)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/deps.sh test
jobs=$(nproc 2>/dev/null || echo 2)
configs=${*:-native asan win fuzz}
out=${KV_BUILD_ROOT:-$root/build}
status=0

run_ctest() {
  # ctest's own summary lines close each configuration's output.
  ctest --test-dir "$1" -j"$jobs" --output-on-failure || status=1
}

for c in $configs; do
  echo "=== $c ==="
  case $c in
    native)
      cmake -S . -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build "$out/native" -j"$jobs"
      run_ctest "$out/native" ;;
    asan)
      cmake -S . -B "$out/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON >/dev/null
      cmake --build "$out/asan" -j"$jobs"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest "$out/asan" ;;
    win)
      cmake -S . -B "$out/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
      cmake --build "$out/win" -j"$jobs"
      # One fresh Wine prefix per run, initialised once before the tests
      # start so parallel tests do not race to create it.
      WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-wine.XXXXXX")
      export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
      wineboot -i >/dev/null 2>&1 || true
      wineserver -p 120 >/dev/null 2>&1 || true
      run_ctest "$out/win"
      wineserver -k >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX" ;;
    fuzz)
      CC=clang CXX=clang++ cmake -S . -B "$out/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON >/dev/null
      cmake --build "$out/fuzz" --target fuzzers -j"$jobs"
      seconds=${KV_FUZZ_SECONDS:-20}
      fuzzed=0
      failed=0
      for f in "$out"/fuzz/fuzz/fuzz_*; do
        [ -x "$f" ] || continue
        name=$(basename "$f")
        corpus="$out/fuzz/corpus/$name"
        mkdir -p "$corpus"
        seeds="$root/fuzz/seeds/$name"
        [ -d "$seeds" ] || seeds=""
        # Targets that write files do it in memory where the machine allows.
        ftmp=${TMPDIR:-/tmp}
        [ -d /dev/shm ] && [ -w /dev/shm ] && ftmp=/dev/shm
        if (cd "$out/fuzz" && TMPDIR=$ftmp "$f" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 "$corpus" $seeds >"$corpus.log" 2>&1); then
          fuzzed=$((fuzzed + 1))
        else
          failed=$((failed + 1))
          tail -n 40 "$corpus.log"
          status=1
        fi
      done
      echo "fuzz: $fuzzed passed, $failed failed" ;;
    *) echo "unknown configuration: $c"; exit 2 ;;
  esac
done
exit $status
