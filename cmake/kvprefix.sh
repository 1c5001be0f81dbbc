#!/usr/bin/env bash
# kvprefix.sh setup PREFIX [DLL-LIST-FILE [PROGRAM...]]: make the 32-bit Wine prefix if it is not
# there (headless graphics driver), keep one wineserver alive, register the listed DLLs, then
# register each PROGRAM as a local server (PROGRAM /RegServer). An empty DLL-LIST-FILE skips DLLs.
# kvprefix.sh stop PREFIX: stop that prefix's wineserver.
set -u
cmd=$1 prefix=$2
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
quiet() { "$@" </dev/null >/dev/null 2>&1; }
case "$cmd" in
setup)
  if [ ! -f "$prefix/.kv-ready" ]; then
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    WINEDLLOVERRIDES="mscoree,mshtml=" quiet wine wineboot -i || { echo "wineboot failed"; exit 1; }
    quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    # A crash prints its backtrace and ends the process instead of waiting in a dialog.
    quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    quiet wineserver -w
    touch "$prefix/.kv-ready"
  fi
  quiet wineserver -p
  if [ $# -ge 3 ] && [ -f "$3" ]; then
    while IFS= read -r dll; do
      [ -n "$dll" ] || continue
      if ! timeout 60 wine regsvr32 /s "$(winepath -w "$dll" 2>/dev/null)" </dev/null >/dev/null 2>&1; then
        echo "could not register $dll"; exit 1
      fi
    done <"$3"
  fi
  shift 3 2>/dev/null || shift $#
  for program in "$@"; do
    if ! timeout 60 wine "$(winepath -w "$program" 2>/dev/null)" /RegServer </dev/null >/dev/null 2>&1; then
      echo "could not register $program"; exit 1
    fi
  done
  echo "prefix ready: $prefix"
  ;;
stop)
  quiet wineserver -k
  echo "prefix stopped: $prefix"
  ;;
*) echo "usage: kvprefix.sh setup|stop PREFIX [DLL-LIST]"; exit 2 ;;
esac
