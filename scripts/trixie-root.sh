#!/usr/bin/env bash
# Debian 13 (trixie) in a chroot, for two passes of the suite: the Windows
# build's tests under Wine 10 (Debian 12's own Wine, 8.0, refuses loopback
# capture, which is what Sonaret records on Windows; trixie's Wine 10 does
# it), and the Linux build's suite built and run with Debian 13's compiler,
# libraries, PipeWire, WirePlumber, weston and at-spi.
#
# usage: trixie-root.sh ensure
#          makes the chroot if it is missing, or brings it up to date when
#          the package list below has changed; then returns at once
#        trixie-root.sh run [--bind DIR]... -- COMMAND [ARGUMENTS...]
#          runs COMMAND inside the chroot, in the caller's folder and
#          environment, as the caller's user
#        trixie-root.sh cache
#          prints the cache folder (the build fixes it for tests that give
#          programs a home of their own)
#
# The chroot lives in a cache folder outside any work tree, shared by every
# clone and build of the machine's user: $SONARET_CACHE, or else
# ${XDG_CACHE_HOME:-~/.cache}/sonaret. It is made with debootstrap from the
# Debian archive that the machine's own apt sources name.
#
# A run sees the machine's /dev, /proc, /sys and /tmp, $TMPDIR, the caller's
# folder, the project's folder and each --bind folder, at the same paths as
# outside (so file names pass through unchanged). Those bind mounts live in
# a mount namespace of the run's own: nobody else sees them, and the kernel
# takes them all down when the run's last process ends, however it ends (a
# failed test, Ctrl-C, a kill).
#
# Making the chroot and entering it need root: without it, sudo is used.
set -euo pipefail

suite=trixie
here=$(cd "$(dirname "$0")" && pwd)
# What the Windows tests run inside: Wine with its 32-bit half (the program
# is 32-bit) and PulseAudio client on both halves, the server's command-line
# client (the capture tests play tones with pacat), a virtual display, and
# fonts with Chinese glyphs (the dialogs' texts). Then what building the
# Linux build and running its suite take, as install-deps.sh lists them for
# a Debian machine. Changing either list updates the chroot on its next use.
packages=(wine wine32:i386 wine64 libpulse0 libpulse0:i386 pulseaudio-utils
          xvfb fonts-wqy-microhei)
mapfile -t -O ${#packages[@]} packages < <("$here/install-deps.sh" --list --test)

project=$(dirname "$here")
cache=${SONARET_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sonaret}
root=$cache/$suite
stamp=.sonaret-packages

usage() {
  echo "usage: $0 ensure | run [--bind DIR]... -- COMMAND [ARGUMENTS...] | cache" >&2
  exit 2
}

# How to run a command as root: as it is, or through sudo.
as_root=()
need_root() {
  [ "$(id -u)" -ne 0 ] || return 0
  command -v sudo >/dev/null 2>&1 || {
    echo "trixie-root: needs root or sudo (to make and enter the chroot)" >&2
    exit 1
  }
  as_root=(sudo --preserve-env)
}

# The archive the machine takes Debian's packages from, as its apt sources
# name it.
mirror() {
  local uri
  . /etc/os-release
  uri=$(apt-get indextargets --format '$(REPO_URI)' "Identifier: Packages" \
          "Release: ${VERSION_CODENAME}" "Component: main" 2>/dev/null | head -n 1)
  echo "${uri:-http://deb.debian.org/debian/}"
}

# Enters the chroot ROOT in a mount namespace of its own, with the
# machine's /dev, /proc and /sys and each of COUNT folders at its own path,
# and runs the command there (as USERSPEC, when one is given), in the
# caller's folder where the chroot has it. The kernel takes the mounts down
# with the namespace's last process.
# usage: bash -c "$enter" sh ROOT USERSPEC COUNT FOLDER... COMMAND...
enter='
  root=$1 user=$2 count=$3
  shift 3
  for m in dev proc sys; do mount --rbind "/$m" "$root/$m"; mount --make-rslave "$root/$m"; done
  for ((i = 0; i < count; i++)); do
    dir=$(realpath -m "$1"); shift
    # The machine'"'"'s root would hide the chroot'"'"'s own.
    [ -d "$dir" ] && [ "$dir" != / ] || continue
    mkdir -p "$root$dir"
    mount --rbind "$dir" "$root$dir"
  done
  exec chroot $user "$root" /bin/sh -c '\''cd "$1" 2>/dev/null || cd /; shift; exec "$@"'\'' sh "$PWD" "$@"
'

# Runs a command of the chroot at `dir` as root, with a clean environment
# (package scripts).
in_chroot_as_root() {
  local dir=$1
  shift
  "${as_root[@]}" unshare --mount --propagation private -- /bin/bash -euc "$enter" sh "$dir" "" 0 \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}

install_packages() {
  local dir=$1 log=$cache/install.log
  {
    in_chroot_as_root "$dir" dpkg --add-architecture i386 &&
    in_chroot_as_root "$dir" apt-get update -q &&
    in_chroot_as_root "$dir" apt-get install -y -q --no-install-recommends "${packages[@]}" &&
    in_chroot_as_root "$dir" apt-get clean
  } >"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    echo "trixie-root: installing the packages in the chroot failed (the whole log: $log)" >&2
    exit 1
  }
  printf '%s\n' "${packages[@]}" | "${as_root[@]}" tee "$dir/$stamp" >/dev/null
}

# True when the chroot is complete and holds the package list.
up_to_date() {
  [ -f "$root/$stamp" ] && [ "$(cat "$root/$stamp")" = "$(printf '%s\n' "${packages[@]}")" ]
}

ensure() {
  up_to_date && return 0
  need_root
  mkdir -p "$cache"
  exec 9>"$root.lock"
  flock 9
  if up_to_date; then
    exec 9>&-
    return 0
  fi
  if [ -f "$root/$stamp" ]; then
    echo "trixie-root: the package list changed; updating $root"
    install_packages "$root"
  else
    # Made aside and moved in place when complete, so that an interrupted
    # set-up is started again, never used.
    local new=$root.new
    command -v debootstrap >/dev/null 2>&1 || {
      echo "trixie-root: debootstrap is missing (scripts/install-deps.sh installs it)" >&2
      exit 1
    }
    echo "trixie-root: making a Debian $suite chroot in $root (once; about 900 MiB to download)"
    "${as_root[@]}" rm -rf "$new" "$root"
    "${as_root[@]}" debootstrap --variant=minbase "$suite" "$new" "$(mirror)" >"$cache/debootstrap.log" 2>&1 || {
      tail -n 20 "$cache/debootstrap.log" >&2
      echo "trixie-root: debootstrap failed (the whole log: $cache/debootstrap.log)" >&2
      exit 1
    }
    install_packages "$new"
    "${as_root[@]}" mv "$new" "$root"
  fi
  exec 9>&-
}

run() {
  local binds=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --bind) [ $# -ge 2 ] || usage; binds+=("$2"); shift 2 ;;
      --) shift; break ;;
      *) usage ;;
    esac
  done
  [ $# -ge 1 ] || usage
  need_root
  [ -f "$root/$stamp" ] || {
    echo "trixie-root: there is no chroot in $root yet: run $0 ensure first" >&2
    exit 1
  }
  binds+=(/tmp "${TMPDIR:-/tmp}" "$project" "$PWD")
  local user=""
  [ "$(id -u)" -eq 0 ] || user="--userspec=$(id -u):$(id -g)"
  # A shared lock: the chroot is not updated under a running program.
  exec 9>"$root.lock"
  flock -s 9
  exec "${as_root[@]}" unshare --mount --propagation private -- /bin/bash -euc "$enter" sh \
    "$root" "$user" "${#binds[@]}" "${binds[@]}" "$@"
}

[ $# -ge 1 ] || usage
case "$1" in
  ensure) [ $# -eq 1 ] || usage; ensure ;;
  run) shift; run "$@" ;;
  cache) [ $# -eq 1 ] || usage; echo "$cache" ;;
  *) usage ;;
esac
