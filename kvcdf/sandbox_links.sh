#!/usr/bin/env bash
# sandbox_links.sh PREFIX: the links the extension's tests need, made with ln -s (Wine's
# CreateSymbolicLinkW succeeds and makes nothing). Channel folders that lead elsewhere:
# - C:\kvlinks\own, the channel's own folder, a link to PREFIX/host/own (outside drive C:);
# - C:\kvlinks\above, a link to PREFIX/host/above, which holds a channel folder "channel";
# - C:\kvlinks\inside, a link to C:\kvlinks\real (it stays on drive C:, but is not the folder named);
# - C:\kvlinks\file\default.cdf, a link to the host's canary file;
# and drive Y:, another name for C:. Each marker tells a test that the link leads where it should.
set -eu
prefix=$1
c="$prefix/drive_c" host="$prefix/host"
mkdir -p "$host/own" "$host/above/channel" "$c/kvlinks/real" "$c/kvlinks/file"
printf 'host canary\n' >"$host/canary.txt"
printf 'marker\n' >"$host/own/marker.txt"
printf 'marker\n' >"$host/above/channel/marker.txt"
printf 'marker\n' >"$c/kvlinks/real/marker.txt"
made=()
link() { ln -s "$1" "$2" && made+=("$2"); }
link "$host/own" "$c/kvlinks/own"
link "$host/above" "$c/kvlinks/above"
link real "$c/kvlinks/inside"
link "$host/canary.txt" "$c/kvlinks/file/default.cdf"
[ -e "$prefix/dosdevices/y:" ] || link ../drive_c "$prefix/dosdevices/y:"
for l in "${made[@]}"; do
  [ -L "$l" ] || { echo "sandbox_links.sh: could not make $l"; exit 1; }
done
