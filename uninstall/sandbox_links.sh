#!/usr/bin/env bash
# sandbox_links.sh PREFIX: what the uninstall and upgrade tests need that Windows code cannot make
# under Wine, made with ln -s. (CreateSymbolicLinkW succeeds there and makes nothing, and a rename
# of a link moves what it points at, so each link is made where a test uses it.)
# - "host" canaries in PREFIX/host, outside drive C: as the host's own files would be, and
#   C:\kvlinks\file and C:\kvlinks\dir, links no test touches, through which the tests read them;
# - links to the canaries inside the trees the tests delete or upgrade (listed below);
# - C:\kvalias, a link to C:\users (a link inside a path), and drive Y:, another name for C:.
# Everything stays inside the prefix, so that kvprefix check still finds nothing that leads out.
set -eu
prefix=$1
c="$prefix/drive_c" host="$prefix/host"
mkdir -p "$host/folder"
printf 'host canary\n' >"$host/canary.txt"
printf 'host folder canary\n' >"$host/folder/canary.txt"
made=()
file_link() { mkdir -p "$(dirname "$c/$1")" && ln -s "$host/canary.txt" "$c/$1" && made+=("$c/$1"); }
dir_link() { mkdir -p "$(dirname "$c/$1")" && ln -s "$host/folder" "$c/$1" && made+=("$c/$1"); }
file_link kvlinks/file
dir_link kvlinks/dir
# uninstall_test
dir_link kvtree/a/link
file_link kvtree/a/b/link.txt
file_link kvlinked/Korvane/readme.txt
dir_link kvlinked/Korvane/data
file_link kvlinked/Korvane/program/qtcc_wnt.dll
dir_link kvlinked/Korvane/program/skins/blue
# a sibling whose name differs only in case: another folder on the host, one name to Windows
mkdir -p "$c/KVLINKED/Korvane" && printf 'case canary\n' >"$c/KVLINKED/Korvane/notes.txt"
ln -s ../../KVLINKED/Korvane/notes.txt "$c/kvlinked/Korvane/notes.txt" && made+=("$c/kvlinked/Korvane/notes.txt")
# upgrade_test
dir_link kvup/link-in-new/NewVersion/skins
file_link kvup/link-in-new/NewVersion/readme.txt
file_link kvup/link-in-program/program/b.dll
dir_link kvup/link-in-program/program/sub
file_link kvup/replace-link-in-new/NewVersion/z.dll
dir_link kvup/replace-link-in-new/NewVersion/skins
ln -s users "$c/kvalias" && made+=("$c/kvalias")
ln -s ../drive_c "$prefix/dosdevices/y:" && made+=("$prefix/dosdevices/y:")
for link in "${made[@]}"; do
  [ -L "$link" ] || { echo "sandbox_links.sh: could not make $link"; exit 1; }
done
