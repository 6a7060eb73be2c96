#!/usr/bin/env bash
# Removes what `make install` put under PREFIX (below DESTDIR, when that is
# set): the files the build's install rules name, found by installing them
# once more into an empty folder (the manifest in the build folder is the
# latest install's, which may have been a package build's); then the folders
# that install.sh noted it made, those that are empty now.
#
# usage: uninstall.sh BUILD PREFIX
set -euo pipefail
. "$(dirname -- "$0")/install-paths.sh"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$stage" && find . -type f -o -type l) | sed 's|^\.||' | while IFS= read -r file; do
  target=$root$file
  if [ -e "$target" ] || [ -L "$target" ]; then
    rm -v -- "$target"
  fi
done
if [ -f "$root$record" ]; then
  # Deepest first, so that a folder is empty once its own folders are gone;
  # one that another program has put files in since stays.
  folders=$(LC_ALL=C sort -r -- "$root$record")
  rm -v -- "$root$record"
  while IFS= read -r folder; do
    if [ -n "$folder" ] && rmdir -- "$root$folder" 2>/dev/null; then
      echo "removed directory '$root$folder'"
    fi
  done <<<"$folders"
else
  # Installed without a note (`cmake --install` by hand): the one folder
  # that holds only Sonaret's files; bin/ and the menu's, the icon theme's
  # and the manual's folders are shared with other programs.
  rmdir --ignore-fail-on-non-empty -- "$root$prefix/share/doc/sonaret" 2>/dev/null || true
fi
