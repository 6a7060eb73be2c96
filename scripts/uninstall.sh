#!/usr/bin/env bash
# Removes what `make install` put under PREFIX (below DESTDIR, when that is
# set): the files the build's install rules name, found by installing them
# once more into an empty folder. It needs no record of the earlier install,
# whose manifest in the build folder any later install (a package build
# included) replaces.
#
# usage: uninstall.sh BUILD PREFIX
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD PREFIX" >&2; exit 2; }
build=$1
prefix=$(realpath -m -- "$2")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$stage" && find . -type f -o -type l) | sed 's|^\.||' | while IFS= read -r file; do
  target=${DESTDIR:-}$file
  if [ -e "$target" ] || [ -L "$target" ]; then
    rm -v -- "$target"
  fi
done
# The one folder that holds only Sonaret's files; bin/ and the menu's, the
# icon theme's and the manual's folders are shared with other programs.
rmdir --ignore-fail-on-non-empty -- "${DESTDIR:-}$prefix/share/doc/sonaret" 2>/dev/null || true
