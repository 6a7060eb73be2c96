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
# SONARET_SOUND_SERVER=pipewire starts PipeWire, pipewire-pulse and
# WirePlumber instead (configured by the folders pipewire/ and
# wireplumber-0.4/ or -0.5/ beside this script), on a session bus of their
# own, with the same devices: the sinks through pipewire-pulse, the
# microphone from the configuration. Its null sinks render in short cycles anyway, so there are
# no streams of silence there.
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
case "${SONARET_SOUND_SERVER:-pulseaudio}" in
  pulseaudio) kind=pulseaudio ;;
  pipewire) kind=pipewire ;;
  *) echo "pulse-fixture: SONARET_SOUND_SERVER=$SONARET_SOUND_SERVER is no server kind we know" \
       "(pulseaudio or pipewire)" >&2; exit 2 ;;
esac

# True while the process runs: one that has ended but is not yet reaped (by
# whoever adopted it, which may take a while) counts as gone.
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Ends the processes recorded in FILE that are still one of the programs
# NAME... (a pid left from an earlier run may belong to something else by
# now): SIGTERM, then SIGKILL when one has not gone after a few seconds.
end_recorded() {
  local file=$1 pid comm
  shift
  [ -f "$file" ] || return 0
  while read -r pid; do
    [ -n "$pid" ] || continue
    comm=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
    printf '%s\n' "$@" | grep -qxF -- "$comm" || continue
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do
      running "$pid" || break
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
  done <"$file"
  rm -f "$file"
}

# The daemon first: its streams of silence end with it. On PipeWire the
# session manager and the pulse server before the server they use, the bus
# last.
stop() {
  end_recorded "$dir/wireplumber.pid" wireplumber
  end_recorded "$dir/daemon.pid" pulseaudio pipewire-pulse
  end_recorded "$dir/pipewire.pid" pipewire
  end_recorded "$dir/bus.pid" dbus-daemon
  end_recorded "$dir/wakers.pid" python3
  rm -rf "$dir"
}

fail() {
  local log
  echo "pulse-fixture: $*" >&2
  for log in daemon pipewire pipewire-pulse wireplumber; do
    if [ -s "$dir/$log.log" ]; then
      echo "--- $log log ---" >&2
      cat "$dir/$log.log" >&2
    fi
  done
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

# PipeWire, pipewire-pulse and WirePlumber, each a process of ours, with
# everything they keep in DIR, on a session bus of their own. Then the
# devices' script through pactl, but for the microphone, which our PipeWire
# configuration makes: pipewire-pulse's module-remap-source keeps its
# master's rate. pipewire-pulse listens at DIR/setup meanwhile, and its
# socket moves to where the daemon's would be (DIR/native) once the devices
# are there: clients find a server with all of them, as with the daemon.
start_pipewire() {
  local cmd name rest done
  sink='' source=''
  rm -f "$dir/setup"
  export PULSE_SERVER="unix:$dir/setup"
  mkdir -p "$dir/config"
  # WirePlumber 0.5 refuses 0.4's Lua configuration, and 0.4 knows nothing
  # of 0.5's fragments: the installed one's is taken.
  local generation=0.5
  wireplumber --version 2>/dev/null | grep -q 'libwireplumber 0\.4' && generation=0.4
  ln -s "$here/wireplumber-$generation" "$dir/config/wireplumber"
  local -a env=(env -u DISPLAY -u WAYLAND_DISPLAY -u PULSE_SERVER -u PULSE_CLIENTCONFIG
                -u PIPEWIRE_REMOTE -u PIPEWIRE_RUNTIME_DIR -u PULSE_STATE_PATH
                HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_STATE_HOME="$dir/state"
                XDG_CONFIG_HOME="$dir/config" PULSE_RUNTIME_PATH="$dir"
                PIPEWIRE_CONFIG_DIR="$here/pipewire"
                DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus")
  # Each waits for what the next one needs: the bus's socket, PipeWire's.
  "${env[@]}" setsid dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/bus" \
    </dev/null >"$dir/dbus.log" 2>&1 &
  echo $! >"$dir/bus.pid"
  wait_for_file "$dir/bus" "$dir/bus.pid" dbus-daemon
  "${env[@]}" setsid pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
  echo $! >"$dir/pipewire.pid"
  wait_for_file "$dir/runtime/pipewire-0" "$dir/pipewire.pid" pipewire
  "${env[@]}" setsid pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
  echo $! >"$dir/daemon.pid"
  "${env[@]}" setsid wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
  echo $! >"$dir/wireplumber.pid"
  wait_for_answer pipewire-pulse "$dir/pipewire.pid" "$dir/daemon.pid" "$dir/wireplumber.pid"

  # The defaults can be set once WirePlumber has made its metadata.
  while read -r cmd name rest; do
    case "$cmd" in ''|'#'*) continue ;; esac
    [ "$cmd $name" != "load-module module-remap-source" ] || continue
    case "$cmd" in
      load-module)
        # The arguments as one, quotes and all, as the script has them.
        pactl load-module "$name" ${rest:+"$rest"} </dev/null >/dev/null ||
          fail "pipewire-pulse refused: $cmd $name $rest"
        continue ;;
      set-default-sink) sink=$name ;;
      set-default-source) source=$name ;;
    esac
    done=0
    for _ in $(seq 750); do
      # shellcheck disable=SC2086 # the words of the line
      pactl "$cmd" "$name" $rest </dev/null 2>/dev/null && { done=1; break; }
      sleep 0.02
    done
    [ $done -eq 1 ] || fail "pipewire-pulse refused: $cmd $name $rest"
  done <"$devices"
  for _ in $(seq 750); do
    if pipewire_ready; then
      mv "$dir/setup" "$dir/native" || fail "cannot move pipewire-pulse's socket"
      export PULSE_SERVER="unix:$dir/native"
      return 0
    fi
    sleep 0.02
  done
  fail "the defaults did not take, or the microphone is not linked to its feed"
}

# Ready when the defaults are the script's (WirePlumber has chosen them) and,
# where the script makes micfeed, the microphone hears it.
pipewire_ready() {
  local info feed
  info=$(pactl info) || return 1
  [ -z "$sink" ] || grep -qxF "Default Sink: $sink" <<<"$info" || return 1
  [ -z "$source" ] || grep -qxF "Default Source: $source" <<<"$info" || return 1
  grep -q 'sink_name=micfeed ' "$devices" || return 0
  feed=$(pactl list short sources | awk '$2 == "micfeed.monitor" { print $1 }')
  [ -n "$feed" ] && pactl list short source-outputs | awk -v f="$feed" '$2 == f { ok = 1 } END { exit !ok }'
}

# Waits for FILE while the process in PIDFILE runs.
wait_for_file() {
  for _ in $(seq 750); do
    [ -e "$1" ] && return 0
    running "$(cat "$2")" || fail "$3 exited during start"
    sleep 0.02
  done
  fail "$3 did not start in time"
}

# Waits until pactl gets an answer, while the processes in PIDFILE... run.
wait_for_answer() {
  local what=$1 file
  shift
  for _ in $(seq 750); do
    pactl info >/dev/null 2>&1 && return 0
    for file in "$@"; do
      running "$(cat "$file")" || fail "$what exited during start"
    done
    sleep 0.02
  done
  fail "$what did not answer in time"
}

if [ $kind = pipewire ]; then
  start_pipewire
  exit 0
fi

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
