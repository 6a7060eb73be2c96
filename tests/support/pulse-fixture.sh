#!/usr/bin/env bash
# The private PulseAudio daemon of the Windows build's tests. Those run
# under Wine and reach the daemon through Wine's PulseAudio driver, but a
# Windows program can't start a Linux daemon, so CTest runs this before and
# after them (a test fixture). The devices are the Linux tests' own:
# tests/support/pulse_devices.pa.
#
# usage: pulse-fixture.sh start DIR [--devices FILE] [--no-wakers]
#                                     starts the daemon, its socket DIR/native,
#                                     and returns once it answers with every device
#        pulse-fixture.sh stop DIR    stops what start started, by process id,
#                                     and removes DIR
#
# Like the Linux fixture, start keeps every sink awake with a low-latency
# stream of silence and restarts the sinks' clocks: a null sink that nothing
# plays to renders in 2-second blocks, and a capture would wait that long
# for its first packet.
#
# The benchmarks use the same daemon with devices of their own (--devices, a
# script in the same syntax as pulse_devices.pa) and without those streams
# (--no-wakers): mixing and rendering them costs the daemon far more than
# the clients it measures, whose own streams keep the sinks running anyway.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR [--devices FILE] [--no-wakers] | stop DIR" >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1
dir=$2
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
devices="$here/pulse_devices.pa"
wakers=1
case "$action" in
  start)
    while [ $# -gt 0 ]; do
      case "$1" in
        --devices) [ $# -ge 2 ] || usage; devices=$2; shift 2 ;;
        --no-wakers) wakers=0; shift ;;
        *) usage ;;
      esac
    done
    [ -r "$devices" ] || { echo "pulse-fixture: cannot read $devices" >&2; exit 2; }
    # The daemon runs in DIR's folders, so the script is named from here.
    devices="$(cd "$(dirname "$devices")" && pwd)/$(basename "$devices")"
    ;;
  stop) [ $# -eq 0 ] || usage ;;
  *) usage ;;
esac
export PULSE_SERVER="unix:$dir/native" PULSE_CLIENTCONFIG="$dir/client.conf"

# True while the process runs: one that has ended but is not yet reaped (by
# whoever adopted it, which may take a while) counts as gone.
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Ends the processes recorded in FILE that are still the program NAME (a
# pid left from an earlier run may belong to something else by now):
# SIGTERM, then SIGKILL when one has not gone after a few seconds.
end_recorded() {
  local file=$1 name=$2 pid
  [ -f "$file" ] || return 0
  while read -r pid; do
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || continue
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do
      running "$pid" || break
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
  done <"$file"
  rm -f "$file"
}

# The daemon first: its streams of silence end with it.
stop() {
  end_recorded "$dir/daemon.pid" pulseaudio
  end_recorded "$dir/wakers.pid" python3
  rm -rf "$dir"
}

fail() {
  echo "pulse-fixture: $*" >&2
  if [ -f "$dir/daemon.log" ]; then
    echo "--- daemon log ---" >&2
    cat "$dir/daemon.log" >&2
  fi
  stop
  exit 1
}

if [ "$action" = stop ]; then
  # Every sink was kept awake for the whole run, or the tests ran on a
  # sink that slept: that is told, after the daemon has gone all the same.
  ended=0
  if [ -f "$dir/wakers.pid" ]; then
    while read -r pid; do
      [ -z "$pid" ] || running "$pid" || ended=$((ended + 1))
    done <"$dir/wakers.pid"
  fi
  stop
  if [ $ended -gt 0 ]; then
    echo "pulse-fixture: $ended stream(s) of silence ended before the daemon was stopped" >&2
    exit 1
  fi
  exit 0
fi

# A daemon left by an interrupted run goes first.
stop
for sub in runtime home state config; do
  mkdir -p "$dir/$sub"
  chmod 700 "$dir/$sub"
done
echo "autospawn = no" >"$dir/client.conf"

# Everything the daemon keeps goes into DIR. Its own session, and no
# standard stream shared with CTest, which would otherwise wait for it to
# close them. As root it warns that it is not meant for that, and runs.
env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u PULSE_SERVER -u PULSE_CLIENTCONFIG \
  HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" \
  PULSE_STATE_PATH="$dir/state" XDG_CONFIG_HOME="$dir/config" \
  setsid pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
  --system=no --realtime=no --high-priority=no --log-target=stderr \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/native" -F "$devices" \
  </dev/null >"$dir/daemon.log" 2>&1 &
echo $! >"$dir/daemon.pid"

for _ in $(seq 750); do
  pactl info >/dev/null 2>&1 && break
  kill -0 "$(cat "$dir/daemon.pid")" 2>/dev/null || fail "pulseaudio exited during start"
  sleep 0.02
done
pactl info >/dev/null 2>&1 || fail "pulseaudio did not answer in time"

# Every device the script names is there (the script has run once the
# socket answers).
sinks=$(pactl list short sinks | cut -f2)
sources=$(pactl list short sources | cut -f2)
for name in $(grep -o 'sink_name=[^ ]*' "$devices" | cut -d= -f2); do
  grep -qx "$name" <<<"$sinks" || fail "sink missing: $name"
done
for name in $(grep -o 'source_name=[^ ]*' "$devices" | cut -d= -f2); do
  grep -qx "$name" <<<"$sources" || fail "source missing: $name"
done

[ $wakers -eq 1 ] || exit 0

: >"$dir/wakers.pid"
declare -A waker_of
# A stream of silence into sink $1 for as long as the daemon runs, in the
# sink's own rate and channel count ("s16le 2ch 44100Hz").
start_waker() {
  local spec rate channels
  spec=$(pactl list short sinks | awk -v sink="$1" '$2 == sink { print $5, $6 }')
  channels=${spec%%ch *}
  rate=${spec##* }
  rate=${rate%Hz}
  setsid python3 "$here/keep_awake.py" "$1" "$rate" "$channels" \
    </dev/null >/dev/null 2>>"$dir/daemon.log" &
  waker_of[$1]=$!
  echo $! >>"$dir/wakers.pid"
}
# The number of streams of silence playing.
playing() {
  pactl list sink-inputs | grep -c 'media.name = "keep awake"' || true
}
count=0
for sink in $sinks; do
  start_waker "$sink"
  count=$((count + 1))
done
for _ in $(seq 500); do
  [ "$(playing)" -ge "$count" ] && break
  sleep 0.02
done
[ "$(playing)" -ge "$count" ] || fail "could not keep the sinks awake"
# Back from suspension a null sink starts its clock anew, with the short
# blocks the streams of silence ask for.
for sink in $sinks; do
  pactl suspend-sink "$sink" 1 && pactl suspend-sink "$sink" 0 || fail "could not restart $sink"
done
for sink in $sinks; do
  running "${waker_of[$sink]}" || fail "the stream of silence into $sink ended"
done
[ "$(playing)" -ge "$count" ] || fail "could not keep the sinks awake"
# What stop checks and ends: the streams that play now.
printf '%s\n' "${waker_of[@]}" >"$dir/wakers.pid"
