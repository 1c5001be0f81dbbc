#!/usr/bin/env bash
# kvthrowaway.sh [--sandbox FILE-LIST DLL-LIST] PREFIX RUNNER PROGRAM [ARGS...]: makes a fresh
# prefix PREFIX, runs PROGRAM in it through RUNNER (the build tree's kvwine; the tree's kvprefix
# beside it makes the prefix), stops the prefix's wineserver and deletes the prefix. The exit
# status is the program's.
#
# --fixture SCRIPT (before --sandbox): SCRIPT PREFIX runs once the files are in place, before the
# prefix is checked; it makes what Windows code cannot make under Wine (links, with ln -s).
#
# --sandbox: for programs that delete files or take hostile paths. PROGRAM, the files listed in
# FILE-LIST and the DLLs listed in DLL-LIST (one path a line) are copied into C:\kvtest, the DLLs
# are registered from there, the prefix's Z: drive (the host's /) is removed, the run is refused
# while any link leads out of the prefix (kvprefix check), and PROGRAM runs as
# C:\kvtest\<name> with C:\kvtest as its current folder: nothing it does can reach the host.
set -u
files= dlls= fixture=
if [ "${1:-}" = --fixture ]; then
  fixture=$2
  shift 2
fi
if [ "${1:-}" = --sandbox ]; then
  files=$2 dlls=$3
  shift 3
fi
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
if [ -z "$files" ]; then
  KV_WINEPREFIX="$prefix" "$runner" "$program" "$@"
  exit $?
fi
box="$prefix/drive_c/kvtest"
mkdir -p "$box"
cp "$program" "$box/" || exit 1
while IFS= read -r file; do
  [ -z "$file" ] || cp "$file" "$box/" || { echo "could not copy $file into $box"; exit 1; }
done <"$files"
while IFS= read -r dll; do
  [ -n "$dll" ] || continue
  cp "$dll" "$box/" || exit 1
  if ! KV_WINEPREFIX="$prefix" timeout 60 "$runner" regsvr32 /s "C:\\kvtest\\$(basename "$dll")" >/dev/null; then
    echo "could not register $dll in $prefix"; exit 1
  fi
done <"$dlls"
"$kvprefix" stop "$prefix" >/dev/null
rm -f "$prefix/dosdevices/z:"
if [ -n "$fixture" ]; then
  "$fixture" "$prefix" || { echo "the fixture $fixture failed in $prefix"; exit 1; }
fi
[ ! -e "$prefix/dosdevices/z:" ] || { echo "could not remove Z: from $prefix"; exit 1; }
# Registering may have made profile folders again (as links to the host's home): checked last.
"$kvprefix" check "$prefix" no-z || { echo "refusing to run in $prefix: it reaches the host"; exit 1; }
cd "$box" && KV_WINEPREFIX="$prefix" "$runner" "C:\\kvtest\\$(basename "$program")" "$@"
