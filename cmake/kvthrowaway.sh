#!/usr/bin/env bash
# kvthrowaway.sh PREFIX RUNNER PROGRAM [ARGS...]: makes a fresh prefix PREFIX, runs PROGRAM in it
# through RUNNER (build/kvwine), stops the prefix's wineserver and deletes the prefix. The exit
# status is the program's.
set -u
prefix=$1 runner=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cleanup() {
  "$here/kvprefix.sh" stop "$prefix" >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT
cleanup
"$here/kvprefix.sh" setup "$prefix" >/dev/null || { echo "could not make the prefix $prefix"; exit 1; }
KV_WINEPREFIX="$prefix" "$runner" "$@"
