#!/usr/bin/env bash
# Runs a program of the Windows build under Wine, in a Wine prefix of that
# build's own (created on first use, then reused). CTest and the test
# discovery call it as the cross-compiling emulator.
#
# usage: scripts/wine-run.sh WINEPREFIX PROGRAM.exe [ARGUMENTS...]
#
# The prefix is 32-bit only, like the program: it is created in seconds and
# is half the size of a 64-bit one. Mono and Gecko are not installed (the
# program uses neither). No display is set up here: message-only windows need
# none (Wine's driver for no display allows them).
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 WINEPREFIX PROGRAM.exe [ARGUMENTS...]" >&2
  exit 2
fi
export WINEPREFIX=$(realpath -m "$1")
shift
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Test programs may start side by side (ctest -j, test discovery in a
# parallel build); the first creates the prefix, the others wait for it.
if [ ! -f "$WINEPREFIX/.sonaret-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.sonaret-ready" ]; then
    rm -rf "$WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1 || {
      echo "wine-run: could not create the Wine prefix $WINEPREFIX" >&2
      exit 1
    }
    # wineboot returns before the registry is written out.
    wineserver --wait
    touch "$WINEPREFIX/.sonaret-ready"
  fi
  exec 9>&-
fi

# Wine leaves helper processes running after the program ends (its services
# and, once a window was created, explorer), and they would hold on to the
# caller's output: CTest would wait for them after every test, seconds each.
# So the program writes to files, which are passed on when it has ended.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
status=0
wine "$@" </dev/null >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit $status
