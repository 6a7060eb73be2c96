#!/usr/bin/env bash
# Checks that Windows programs need nothing beside them: every DLL they import
# must be one that Windows itself ships. A MinGW runtime DLL here
# (libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll) or a library's
# DLL means something was linked dynamically.
#
# usage: scripts/check-windows-imports.sh PROGRAM.exe...
set -euo pipefail

# Windows' own DLLs that the program and its tests may import (msvcrt is the
# C runtime MinGW-w64 builds against).
declare -A system_dll
for dll in kernel32 user32 gdi32 ole32 oleaut32 shell32 comctl32 comdlg32 advapi32 shlwapi \
           msvcrt uxtheme winmm avrt; do
  system_dll[$dll.dll]=1
done

if [ $# -eq 0 ]; then
  echo "usage: $0 PROGRAM.exe..." >&2
  exit 2
fi
failed=0
for exe in "$@"; do
  if ! dlls=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}'); then
    echo "$exe: cannot read its import table" >&2
    failed=1
    continue
  fi
  if [ -z "$dlls" ]; then
    echo "$exe: imports no DLL at all, which no Windows program does" >&2
    failed=1
    continue
  fi
  for dll in $dlls; do
    lower=$(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]')
    if [ -z "${system_dll[$lower]:-}" ]; then
      echo "$exe: imports $dll, which Windows does not ship" >&2
      failed=1
    fi
  done
  echo "$(basename "$exe"): $(echo $dlls)"
done
exit $failed
