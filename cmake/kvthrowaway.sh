#!/usr/bin/env bash
# kvthrowaway.sh PREFIX RUNNER PROGRAM [ARGS...]: makes a fresh prefix PREFIX, runs PROGRAM in it
# through RUNNER (the build tree's kvwine; the tree's kvprefix beside it makes the prefix), stops
# the prefix's wineserver and deletes the prefix. The exit status is the program's.
set -u
prefix=$1 runner=$2
shift 2
kvprefix=$(dirname "$runner")/kvprefix
cleanup() {
  "$kvprefix" stop "$prefix" >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT
cleanup
"$kvprefix" setup "$prefix" >/dev/null || { echo "could not make the prefix $prefix"; exit 1; }
KV_WINEPREFIX="$prefix" "$runner" "$@"
