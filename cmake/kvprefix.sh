#!/usr/bin/env bash
# kvprefix.sh setup PREFIX [DLL-LIST-FILE [PROGRAM...]]: make the Wine prefix if it is not there
# (headless graphics driver, no menu builder, profile folders of its own instead of links to the
# host's home), stop a wineserver that an interrupted run left on
# it, keep one wineserver alive, register the listed DLLs, then register each PROGRAM as a local
# server (PROGRAM /RegServer). An empty DLL-LIST-FILE skips DLLs.
# kvprefix.sh stop PREFIX: stop that prefix's wineserver.
# The architecture is the caller's: KV_WINE_LOADER (/usr/lib/wine/wine or /usr/lib/wine/wine64)
# and KV_WINEARCH (win32 or win64); each build tree's kvprefix wrapper sets both. Debian's wine
# wrappers are never used: they pick the 32-bit loader whenever it is installed.
set -u
cmd=$1 prefix=$2
loader=${KV_WINE_LOADER:-/usr/lib/wine/wine}
export WINEPREFIX="$prefix" WINEARCH="${KV_WINEARCH:-win32}" WINELOADER="$loader" WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
quiet() { "$@" </dev/null >/dev/null 2>&1; }
winpath() { "$loader" winepath.exe -w "$1" 2>/dev/null </dev/null | tr -d '\r'; }
case "$cmd" in
setup)
  # A server left by an interrupted run may still hold a stale client or registration.
  [ -d "$prefix" ] && quiet wineserver -k
  if [ ! -f "$prefix/.kv-ready" ]; then
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" quiet "$loader" wineboot -i ||
      { echo "wineboot failed ($loader, $WINEARCH)"; exit 1; }
    quiet "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    # Nothing is written outside the prefix: no menu entries, no desktop links.
    quiet "$loader" reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /d "" /f
    # A crash prints its backtrace and ends the process instead of waiting in a dialog.
    quiet "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    quiet wineserver -w
    touch "$prefix/.kv-ready"
  fi
  # Wine links the profile's Desktop, Documents, Music, ... to the host's home folder: make them
  # folders of the prefix, so that nothing a program writes or deletes there reaches the host.
  find "$prefix/drive_c/users" -mindepth 2 -maxdepth 2 -type l 2>/dev/null | while IFS= read -r link; do
    rm -f "$link" && mkdir -p "$link"
  done
  quiet wineserver -p
  if [ $# -ge 3 ] && [ -f "$3" ]; then
    while IFS= read -r dll; do
      [ -n "$dll" ] || continue
      if ! timeout 60 "$loader" regsvr32 /s "$(winpath "$dll")" </dev/null >/dev/null 2>&1; then
        echo "could not register $dll"; exit 1
      fi
    done <"$3"
  fi
  shift 3 2>/dev/null || shift $#
  for program in "$@"; do
    if ! timeout 60 "$loader" "$(winpath "$program")" /RegServer </dev/null >/dev/null 2>&1; then
      echo "could not register $program"; exit 1
    fi
  done
  echo "prefix ready: $prefix ($WINEARCH)"
  ;;
stop)
  quiet wineserver -k
  echo "prefix stopped: $prefix"
  ;;
*) echo "usage: kvprefix.sh setup|stop PREFIX [DLL-LIST]"; exit 2 ;;
esac
