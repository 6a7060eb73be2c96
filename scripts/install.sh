#!/usr/bin/env bash
# Installs the build under PREFIX (below DESTDIR, when that is set), stripped
# of its debugging information, and notes which folders the install makes:
# those the install's files go to that aren't there yet. uninstall.sh removes
# those folders again once they are empty, and never one that was there
# before, such as a share/icons that other programs use too.
#
# The note is a list of folders, one a line, in the program's own data
# folder, share/sonaret, where a program keeps what only it uses; the folder
# is on the list when the install made it. A second install adds to the
# list: what the first one made is still the install's.
#
# usage: install.sh BUILD PREFIX
set -euo pipefail
. "$(dirname -- "$0")/install-paths.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The install's folders, from an install into an empty folder, the note's
# own among them.
DESTDIR=$work/stage cmake --install "$build" --prefix "$prefix" >/dev/null
mkdir -p -- "$work/stage$(dirname "$record")"
{
  if [ -f "$root$record" ]; then
    cat -- "$root$record"
  fi
  (cd "$work/stage" && find . -mindepth 1 -type d) | sed 's|^\.||' | while IFS= read -r folder; do
    [ -d "$root$folder" ] || printf '%s\n' "$folder"
  done
} | LC_ALL=C sort -u >"$work/folders"
DESTDIR=$root cmake --install "$build" --prefix "$prefix" --strip
mkdir -p -- "$root$(dirname "$record")"
cp -- "$work/folders" "$root$record"
