#!/usr/bin/env bash
# kvprefix.sh setup PREFIX [DLL-LIST-FILE [PROGRAM...]]: make the Wine prefix if it is not there
# (headless graphics driver, no menu builder, no link that leads out of the prefix but Z:), stop a wineserver that an interrupted run left on
# it, keep one wineserver alive, register the listed DLLs, then register each PROGRAM as a local
# server (PROGRAM /RegServer). An empty DLL-LIST-FILE skips DLLs.
# kvprefix.sh check PREFIX [no-z]: fail when a link leads out of the prefix (Z: counts with no-z).
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
# The links below PREFIX that lead outside it, one "link -> target" a line; with keep-z, the
# drive Z: (dosdevices/z:) is not counted. Serial and parallel ports (dosdevices/com1 -> /dev/ttyS0)
# are not counted either: Wine makes them again at every start, and they name devices, no folder.
links_outside() {
  local top link target
  top=$(cd "$1" && pwd -P)
  find "$1" -type l 2>/dev/null | while IFS= read -r link; do
    [ "${2:-}" = keep-z ] && [ "$link" = "$1/dosdevices/z:" ] && continue
    target=$(readlink -m "$link")
    case "$link" in "$1"/dosdevices/com* | "$1"/dosdevices/lpt*) [ -c "$target" ] && continue ;; esac
    case "$target" in "$top" | "$top"/*) ;; *) echo "$link -> $target" ;; esac
  done
}
# Replaces every link that leads out of PREFIX (but Z:): a folder for a link to a folder,
# nothing for the rest (serial ports, files).
seal() {
  links_outside "$1" keep-z | while IFS= read -r line; do
    local link=${line% -> *}
    if [ -d "$link" ]; then rm -f "$link" && mkdir -p "$link"; else rm -f "$link"; fi
  done
}
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
  # Wine links profile folders (Desktop, Documents, ..., AppData\Roaming\Microsoft\Windows\Templates)
  # to the host's home folder and the serial ports to /dev: every link that leads out of the
  # prefix is replaced by a folder of the prefix (or removed), so that nothing a program writes or
  # deletes there reaches the host. Z: (the host's /) stays in shared prefixes: their programs are
  # run from the build tree; the sandboxes remove it.
  seal "$prefix"
  outside=$(links_outside "$prefix" keep-z)
  if [ -n "$outside" ]; then
    echo "kvprefix: links that lead out of $prefix are left:"; echo "$outside"; exit 1
  fi
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
check)
  # check PREFIX [no-z]: fails, listing them, when links lead out of the prefix; with no-z, Z:
  # counts too (the prefix must be sealed for a run that deletes or takes hostile paths).
  outside=$(links_outside "$prefix" $([ "${3:-}" = no-z ] || echo keep-z))
  if [ -n "$outside" ]; then
    echo "kvprefix: links that lead out of $prefix:"; echo "$outside"; exit 1
  fi
  ;;
stop)
  quiet wineserver -k
  echo "prefix stopped: $prefix"
  ;;
*) echo "usage: kvprefix.sh setup|check|stop PREFIX [DLL-LIST | no-z]"; exit 2 ;;
esac
