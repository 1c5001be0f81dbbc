#!/usr/bin/env bash
# kvthrowaway.sh PREFIX RUNNER PROGRAM [ARGS...]: makes a fresh prefix PREFIX, runs PROGRAM in it
# through RUNNER (the build tree's kvwine; the tree's kvprefix beside it makes the prefix), stops
# the prefix's wineserver and deletes the prefix. The exit status is the program's.
#
# kvthrowaway.sh --sandbox PREFIX RUNNER PROGRAM [FILE...]: the same for a program that deletes
# files or takes hostile paths. PROGRAM and each FILE are copied into C:\kvtest, the prefix's Z:
# drive (the host's /) is removed, and the program runs from the copy with C:\kvtest as its
# current directory, so nothing outside the prefix is within its reach.
set -u
sandbox=0
if [ "${1:-}" = --sandbox ]; then sandbox=1; shift; fi
prefix=$1 runner=$2 program=$3
shift 3
kvprefix=$(dirname "$runner")/kvprefix
cleanup() {
  "$kvprefix" stop "$prefix" >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT
cleanup
"$kvprefix" setup "$prefix" >/dev/null || { echo "could not make the prefix $prefix"; exit 1; }
if [ $sandbox = 0 ]; then
  KV_WINEPREFIX="$prefix" "$runner" "$program" "$@"
  exit $?
fi
"$kvprefix" stop "$prefix" >/dev/null
work="$prefix/drive_c/kvtest"
mkdir -p "$work"
cp "$program" "$@" "$work/" || { echo "could not copy the test's files into $work"; exit 1; }
rm -f "$prefix/dosdevices/z:"
[ ! -e "$prefix/dosdevices/z:" ] || { echo "the prefix still reaches the host through Z:"; exit 1; }
cd "$work" && KV_WINEPREFIX="$prefix" "$runner" "$work/$(basename "$program")"
