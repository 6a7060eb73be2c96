#!/usr/bin/env bash
# Installs what Sonaret needs on Debian 12 or 13, and only what is missing: a
# machine that has everything is left alone (no apt-get, no root needed).
#
# usage: install-deps.sh [--list] [--test] [--windows] [--bench] [--deb]
#   --list     prints the packages the other options select, one a line,
#              and installs nothing (scripts/trixie-root.sh installs the
#              Linux suite's in its Debian 13 chroot)
#   (none)     what building and running the Linux program takes (make run)
#   --deb      also what building the Debian package takes (make deb): the
#              tool that computes its dependencies from the program's
#              libraries, and `file`, with which CPack finds the program
#   --test     also what the Linux suite runs: the sound server's daemon,
#              virtual displays (X and Wayland), a session bus's daemon,
#              at-spi and pyatspi, the locales' sources, xdotool and
#              ImageMagick, and the checkers of the desktop entry, the
#              software-centre metadata and the package (the suite builds
#              the package too, so --deb's tools) (make test)
#   --windows  also what the Windows build and its suite take (make test,
#              make build-windows): the MinGW-w64 cross compiler, what
#              cross-building lame and mpg123 from Debian's source packages
#              takes, the GoogleTest sources, and debootstrap, with which
#              scripts/trixie-root.sh makes the chroot the Windows programs
#              run in under Wine 10. For the source packages this script adds
#              a deb-src entry in a file of its own, a copy of the entry the
#              machine already takes Debian's packages from. Wine itself is
#              never installed on the machine.
#   --bench    also what only the benchmarks run beside Sonaret (make bench
#              passes --test too, for the sound server): the mixer whose
#              level meter bench/program_cpu.py compares with Sonaret's, and the
#              encoder's command line whose CPU per second of audio is its floor
#              (make bench)
set -euo pipefail

test=0
windows=0
bench=0
deb=0
list=0
for arg in "$@"; do
  case "$arg" in
    --list) list=1 ;;
    --test) test=1 ;;
    --windows) windows=1 ;;
    --bench) bench=1 ;;
    --deb) deb=1 ;;
    *) echo "usage: $0 [--list] [--test] [--windows] [--bench] [--deb]" >&2; exit 2 ;;
  esac
done

packages=(
  # build
  g++ make cmake ninja-build pkg-config
  # the encoder, and the decoder the tests check its files with
  libmp3lame-dev libmpg123-dev
  # the sound server's client library
  libpulse-dev
  # the window system of the Linux build (and Wayland's client library, which
  # its own surfaces use), and the resource step that reads the .rc
  libgtk-3-dev libwayland-dev python3
  # fonts with Chinese glyphs: the dialogs' texts are Chinese
  fonts-wqy-microhei
  # the build holds the tests and benchmarks too
  libgtest-dev libgmock-dev libbenchmark-dev
)
# The tests' own sound server (the daemon and pactl); the window tests run on
# a private Xvfb display, and some also on a private weston (headless, or
# nested in the Xvfb), each with a private session bus (dbus-daemon), drive
# the program with xdotool and check screenshots taken with ImageMagick.
[ $test -eq 0 ] || packages+=(pulseaudio pulseaudio-utils xvfb weston dbus-daemon xdotool
                              imagemagick x11-utils desktop-file-utils appstream lintian)
# The audio tests run a second time on PipeWire, its PulseAudio protocol
# server and its session manager (each started by the tests themselves).
[ $test -eq 0 ] || packages+=(pipewire pipewire-bin pipewire-pulse wireplumber)
# The accessibility test reads the windows through at-spi with pyatspi, in a
# German locale it makes from the locales' sources; the recording tests'
# stand-in session manager is a D-Bus service in GLib's Python binding.
[ $test -eq 0 ] || packages+=(at-spi2-core python3-pyatspi locales python3-gi)
[ $test -eq 0 ] && [ $deb -eq 0 ] || packages+=(dpkg-dev file)
# The 32-bit MinGW-w64 compiler (posix threads); unpacking Debian's sources,
# applying Debian's patches, regenerating lame's configure after them; the
# GoogleTest sources; the maker of the Wine chroot.
[ $windows -eq 0 ] || packages+=(g++-mingw-w64-i686-posix xz-utils bzip2 patch autoconf automake
                                 libtool googletest debootstrap)
[ $bench -eq 0 ] || packages+=(pavucontrol lame)

if [ $list -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

src_list=/etc/apt/sources.list.d/sonaret-deb-src.sources
. /etc/os-release

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
# Source entries count if apt already knows the source package, however the
# machine's lists were set up.
need_src=0
[ $windows -eq 0 ] || [ -n "$(apt-cache showsrc lame 2>/dev/null | head -n 1)" ] || need_src=1

[ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ] && exit 0

wanted="${missing[*]}"
[ $need_src -eq 0 ] || wanted+=" (Debian source entries)"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: missing:${wanted} and neither root nor sudo is available" >&2
  exit 1
fi

# The deb-src entry copies the machine's own entry for this release's main
# component, with its mirror and its Signed-By (apt refuses two entries for
# one archive that disagree on the key). indextargets reads the configured
# entries, so this works before the first apt-get update too.
write_src_entry() {
  local entry file line
  entry=$(apt-get indextargets --format '$(SOURCESENTRY)' "Identifier: Packages" \
            "Release: ${VERSION_CODENAME}" "Component: main" | head -n 1)
  if [ -z "$entry" ]; then
    echo "install-deps: apt has no entry for ${VERSION_CODENAME} main to copy as deb-src" >&2
    exit 1
  fi
  file=${entry%:*}
  line=${entry##*:}
  case "$file" in
    *.sources)
      # The stanza that starts at that line, made source-only.
      tail -n +"$line" "$file" | awk '/^[[:space:]]*$/ {exit} {print}' |
        sed -E 's/^Types:.*/Types: deb-src/' ;;
    *)
      # A one-line entry: "deb [options] URI suite components".
      sed -n "${line}p" "$file" | awk '{
        i = 2; opts = ""
        if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n", $i, $(i + 1)
        gsub(/[][]/, "", opts)
        n = split(opts, o, " ")
        for (k = 1; k <= n; k++)
          if (o[k] ~ /^signed-by=/) { sub(/^signed-by=/, "", o[k]); printf "Signed-By: %s\n", o[k] }
      }' ;;
  esac | "${as_root[@]}" tee "$src_list" >/dev/null
}

if [ $need_src -eq 1 ]; then
  echo "install-deps: adding Debian's source packages ($src_list)"
  write_src_entry
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
