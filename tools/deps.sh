#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# Usage: tools/deps.sh run|test   (run: native build only; test: everything)
set -eu
kind=${1:-test}
pkgs="build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev zlib1g-dev libgcrypt20-dev libcurl4-openssl-dev openssl"
if [ "$kind" = test ]; then
  pkgs="$pkgs clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libgcrypt-mingw-w64-dev wine wine64 curl chromium"
fi
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
echo "installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
