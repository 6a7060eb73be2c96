#!/usr/bin/env bash
# Runs a program of the Windows build under Wine 10, in the chroot that
# scripts/trixie-root.sh makes, and in a Wine prefix of that build's own
# (created on first use, then reused). CTest and the test discovery call it
# as the cross-compiling emulator.
#
# usage: scripts/wine-run.sh [--display] [--unix] WINEPREFIX PROGRAM [ARGUMENTS...]
#
# --display (or SONARET_WINE_DISPLAY=1 in the environment, which CTest sets
# for the window tests) runs the program on a virtual display of its own (an
# Xvfb that this script starts and stops by its process id), for programs
# that show windows; Wine's helper processes of the prefix are ended with it
# (wineserver -k), so that none stays attached to a display that is gone.
# --unix runs PROGRAM as a Unix command of the chroot (wineserver, say) with
# the prefix set, instead of under Wine.
#
# A GoogleTest program that runs tests is judged by its own report, not by
# its exit status alone: Wine may abort while a process ends (seen in glibc
# as FUTEX_OWNER_DIED when streams were left open) and then exit with 0
# although tests failed. So the program writes its XML report, and this
# script exits with 0 only when the program did, the report is complete,
# and it counts no failure and no error; otherwise it says why and exits 1.
#
# The prefix is 32-bit only, like the program: it is created in seconds and
# is smaller than a 64-bit one. Mono and Gecko are not installed (the
# program uses neither). No display is set up here: message-only windows need
# none (Wine's driver for no display allows them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ "${SONARET_IN_WINE_ROOT:-}" != 1 ]; then
  # Into the chroot, with the folders of the prefix, the program and any
  # file named in the arguments in sight (Windows-style switches such as
  # /v are not files).
  "$here/trixie-root.sh" ensure
  binds=()
  for arg in "$@"; do
    case "$arg" in
      /*) [ -e "$arg" ] || [ -e "$(dirname "$arg")" ] || continue
          binds+=(--bind "$(dirname "$(realpath -m "$arg")")") ;;
    esac
  done
  exec "$here/trixie-root.sh" run "${binds[@]}" -- env SONARET_IN_WINE_ROOT=1 "$here/wine-run.sh" "$@"
fi

display=0
unix=0
[ "${SONARET_WINE_DISPLAY:-0}" = 1 ] && display=1
while [ $# -gt 0 ]; do
  case "$1" in
    --display) display=1; shift ;;
    --unix) unix=1; shift ;;
    *) break ;;
  esac
done
if [ $# -lt 2 ]; then
  echo "usage: $0 [--display] [--unix] WINEPREFIX PROGRAM [ARGUMENTS...]" >&2
  exit 2
fi
export WINEPREFIX=$(realpath -m "$1")
shift
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winewayland.drv=d"

# Test programs may start side by side (ctest -j, test discovery in a
# parallel build); the first creates the prefix, the others wait for it.
ready="$WINEPREFIX/.sonaret-ready-wine10"
if [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$ready" ]; then
    rm -rf "$WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1 || {
      echo "wine-run: could not create the Wine prefix $WINEPREFIX" >&2
      exit 1
    }
    # The dialogs ask for SimSun (宋体), which every Chinese Windows has and
    # a Wine prefix lacks: without a stand-in their texts show as boxes. The
    # .reg file is UTF-16, so the font's Chinese name survives any locale.
    reg=$(mktemp "${TMPDIR:-/tmp}/wine-fonts.XXXXXX")
    {
      printf 'Windows Registry Editor Version 5.00\r\n\r\n'
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
      printf '"SimSun"="WenQuanYi Micro Hei"\r\n'
      printf '"\xe5\xae\x8b\xe4\xbd\x93"="WenQuanYi Micro Hei"\r\n'
    } | iconv -f UTF-8 -t UTF-16 >"$reg.reg"
    wine regedit /S "$(winepath -w "$reg.reg")" >/dev/null 2>&1 || true
    rm -f "$reg" "$reg.reg"
    # wineboot and regedit return before the registry is written out.
    wineserver --wait
    touch "$ready"
  fi
  exec 9>&-
fi

# What this run started goes with it, however it ends: on an interruption
# (CTest's time-out, Ctrl-C) the program is stopped by its process id, then
# the display and Wine's processes of the prefix.
xvfb_pid=
child=
temporary=()
# Ends every Wine process of the prefix and waits until they are gone.
end_wine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver --wait >/dev/null 2>&1 || true
}
finish() {
  if [ -n "$child" ]; then
    kill "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  [ "$display" -eq 0 ] || end_wine
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -f "${temporary[@]}"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Runs the command in the background and waits for it, so that a signal is
# handled at once (bash holds traps while a command runs in the foreground).
# Its exit status in `status`.
run_child() {
  status=0
  "$@" &
  child=$!
  wait "$child" || status=$?
  child=
}

# Programs with windows run alone in the prefix: they share Wine's desktop
# process, which belongs to one display, and end the prefix's processes when
# done. Programs without windows may run side by side.
exec 8>"$WINEPREFIX.display.lock"
if [ "$display" -eq 1 ]; then
  flock 8
else
  flock -s 8
fi
if [ "$display" -eq 1 ]; then
  # Alone in the prefix now: Wine's processes that an earlier program left
  # behind (each program starts a desktop process, which has no display
  # when the program had none) go first, or this program would join them.
  end_wine
  fifo=$(mktemp -u "${TMPDIR:-/tmp}/wine-xvfb.XXXXXX")
  mkfifo "$fifo"
  Xvfb -displayfd 7 -screen 0 1280x800x24 -nolisten tcp -noreset 7>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 number <"$fifo" || number=
  rm -f "$fifo"
  if [ -z "$number" ]; then
    echo "wine-run: the virtual display did not start (is Xvfb installed?)" >&2
    exit 1
  fi
  export DISPLAY=":$number"
  unset WAYLAND_DISPLAY
fi

if [ $unix -eq 1 ]; then
  run_child "$@"
  exit $status
fi

# GoogleTest programs that run tests (not those that only list them) write
# their report where this script reads it; Wine's Z: drive is the root.
report=
is_gtest=0
lists=0
for arg in "${@:2}"; do
  case "$arg" in
    --gtest_list_tests) lists=1 ;;
    --gtest_*) is_gtest=1 ;;
  esac
done
if [ $is_gtest -eq 1 ] && [ $lists -eq 0 ]; then
  report=$(mktemp "${TMPDIR:-/tmp}/wine-run-report.XXXXXX")
  rm -f "$report"
  export GTEST_OUTPUT="xml:Z:${report//\//\\}.xml"
  report=$report.xml
  temporary+=("$report")
fi

# Wine leaves helper processes running after the program ends (its services
# and, once a window was created, explorer), and they would hold on to the
# caller's output: CTest would wait for them after every test, seconds each.
# So the program writes to files, which are passed on when it has ended.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
temporary+=("$out" "$err")
run_child wine "$@" </dev/null >"$out" 2>"$err"
cat "$out"
cat "$err" >&2
[ -n "$report" ] || exit $status

# The report's verdict: the <testsuites> element's counts, present only once
# GoogleTest has finished writing it.
verdict=$(sed -n 's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)" disabled="[0-9]*" errors="\([0-9]*\)".*/\1 \2 \3/p' \
            "$report" 2>/dev/null || true)
if [ -z "$verdict" ] || ! grep -q '</testsuites>' "$report"; then
  echo "wine-run: FAILED: the program left no complete test report (exit status $status)" >&2
  exit 1
fi
read -r tests failures errors <<<"$verdict"
if [ "$tests" -eq 0 ] || [ "$failures" -ne 0 ] || [ "$errors" -ne 0 ]; then
  echo "wine-run: FAILED: the report counts $tests tests, $failures failures, $errors errors (exit status $status)" >&2
  exit 1
fi
if [ $status -ne 0 ]; then
  echo "wine-run: FAILED: every test passed, then the program ended with status $status" >&2
  exit 1
fi
exit 0
