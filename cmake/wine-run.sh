#!/bin/sh
# Runs a cross-built Windows program under Wine, quietly and in the prefix
# chosen by the caller (tools/build.sh sets one per run).
: "${WINEPREFIX:=${TMPDIR:-/tmp}/kelvane-wine}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
