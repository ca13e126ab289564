#!/bin/sh
# Usage: run.sh WORK_DIR INSTALL_BIN UPSSIM CHROMIUM
# Installs playwright-core next to a copy of the tests (once), then runs them.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$1
mkdir -p "$work"
cp "$here/package.json" "$here/web.test.mjs" "$work/"
cd "$work"
if [ ! -d node_modules/playwright-core ]; then
  npm install --no-audit --no-fund --loglevel=error >/dev/null
fi
KV_INSTALL_BIN=$2 KV_UPSSIM=$3 KV_CHROMIUM=$4 KV_ARTIFACTS="$work/artifacts" \
  exec node --test --test-concurrency=1 web.test.mjs
