#!/usr/bin/env bash
# Cross-builds, for the Windows build (i686-w64-mingw32, static), the
# libraries that Debian has no MinGW package of:
#   libmp3lame  the encoder, from Debian's source package of lame
#   libmpg123   the decoder the tests check MP3 files with, from Debian's
#               source package of mpg123
#   GoogleTest  from the sources Debian's googletest package ships
# into PREFIX (include/, lib/, lib/pkgconfig/, lib/cmake/). Sources are
# fetched with apt-get source (scripts/install-deps.sh adds the deb-src
# entry). Each library is built once: a stamp in PREFIX records the source
# version and options it was built from, and a matching stamp skips it.
#
# usage: scripts/build-windows-deps.sh PREFIX
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PREFIX" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
host=i686-w64-mingw32
toolchain="$repo/cmake/mingw-w64-i686.cmake"
jobs=$(nproc)
work="$prefix/work"
mkdir -p "$work" "$prefix/stamps"

# The toolchain's compilers by their posix-threads names, so that autoconf
# builds use the same compiler as CMake does.
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
export CFLAGS="-O2"

log() { echo "windows-deps: $*"; }

# Stamp checks: a library is rebuilt when what it was built from changed.
built() { [ -f "$prefix/stamps/$1" ] && [ "$(cat "$prefix/stamps/$1")" = "$2" ]; }
mark_built() { printf '%s' "$2" >"$prefix/stamps/$1"; }

# Fetches Debian's source package $1 into $work/$1-src and unpacks it there
# with Debian's patches applied, as dpkg-source would. apt checks the .dsc
# against the signed index; the orig and debian tarballs are checked here
# against the .dsc's SHA-256 sums. apt-get source is only
# used to download: an upstream signature (.asc) that the mirror lacks makes
# it fail although everything needed has arrived, and dpkg-source would insist
# on that file too.
fetch_debian_source() {
  local pkg=$1 dir="$work/$1-src" dsc
  rm -rf "$dir" "$work/$pkg-download"
  mkdir -p "$dir" "$work/$pkg-download"
  (cd "$work/$pkg-download" && apt-get source --download-only -q "$pkg" >download.log 2>&1) || true
  dsc=$(ls "$work/$pkg-download"/"${pkg}"_*.dsc 2>/dev/null | head -n 1)
  if [ -z "$dsc" ]; then
    echo "windows-deps: could not download Debian's source package $pkg:" >&2
    cat "$work/$pkg-download/download.log" >&2
    echo "(is there a deb-src entry? scripts/install-deps.sh adds one)" >&2
    exit 1
  fi
  local orig debian
  orig=$(awk '/^Checksums-Sha256:/ {s=1; next} /^[^ ]/ {s=0} s && $3 ~ /\.orig\.tar\.[a-z0-9]+$/ {print $3}' "$dsc")
  debian=$(awk '/^Checksums-Sha256:/ {s=1; next} /^[^ ]/ {s=0} s && $3 ~ /\.debian\.tar\.[a-z0-9]+$/ {print $3}' "$dsc")
  for f in "$orig" "$debian"; do
    local want have
    want=$(awk -v f="$f" '/^Checksums-Sha256:/ {s=1; next} /^[^ ]/ {s=0} s && $3 == f {print $1}' "$dsc")
    have=$(sha256sum "$work/$pkg-download/$f" 2>/dev/null | cut -d' ' -f1 || true)
    if [ -z "$want" ] || [ "$want" != "$have" ]; then
      echo "windows-deps: $f is missing or does not match $(basename "$dsc")" >&2
      cat "$work/$pkg-download/download.log" >&2
      exit 1
    fi
  done
  tar -xf "$work/$pkg-download/$orig" -C "$dir" --strip-components=1
  tar -xf "$work/$pkg-download/$debian" -C "$dir"
  if [ -f "$dir/debian/patches/series" ]; then
    local p
    while read -r p _; do
      case "$p" in '' | '#'*) continue ;; esac
      patch -d "$dir" -p1 -s -N <"$dir/debian/patches/$p"
    done <"$dir/debian/patches/series"
  fi
}

# --- libmp3lame -----------------------------------------------------------
lame_options="--host=$host --prefix=$prefix --disable-frontend --disable-decoder --disable-shared --enable-static"
lame_version=$(apt-cache showsrc lame 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1)
case "$lame_version" in
  3.100-*) ;;
  *) echo "windows-deps: expected Debian's lame 3.100, apt offers '${lame_version:-nothing}'" >&2; exit 1 ;;
esac
if built lame "$lame_version $lame_options $CFLAGS"; then
  log "libmp3lame $lame_version: already built"
else
  log "libmp3lame $lame_version: fetching and building"
  fetch_debian_source lame
  # Debian's patches change configure.in and Makefile.am (the pkg-config file,
  # -msse for the SSE routines); like Debian's build, regenerate.
  (cd "$work/lame-src" && autoreconf -fi >"$work/lame-autoreconf.log" 2>&1) ||
    { cat "$work/lame-autoreconf.log" >&2; exit 1; }
  (cd "$work/lame-src" && ./configure $lame_options >"$work/lame-configure.log" 2>&1) ||
    { tail -n 40 "$work/lame-configure.log" >&2; exit 1; }
  make -C "$work/lame-src" -j"$jobs" >"$work/lame-make.log" 2>&1 ||
    { tail -n 40 "$work/lame-make.log" >&2; exit 1; }
  make -C "$work/lame-src" install >>"$work/lame-make.log" 2>&1 ||
    { tail -n 40 "$work/lame-make.log" >&2; exit 1; }
  mark_built lame "$lame_version $lame_options $CFLAGS"
fi

# --- libmpg123 ------------------------------------------------------------
# The library only (the player and the output libraries are not needed), with
# Debian's choice of decoders for i386.
mpg123_options="--host=$host --prefix=$prefix --disable-shared --enable-static --with-cpu=x86_dither --enable-modules=no --disable-network"
mpg123_version=$(apt-cache showsrc mpg123 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1)
if [ -z "$mpg123_version" ]; then
  echo "windows-deps: apt offers no source package of mpg123" >&2
  exit 1
fi
if built mpg123 "$mpg123_version $mpg123_options $CFLAGS"; then
  log "libmpg123 $mpg123_version: already built"
else
  log "libmpg123 $mpg123_version: fetching and building"
  fetch_debian_source mpg123
  (cd "$work/mpg123-src" && ./configure $mpg123_options >"$work/mpg123-configure.log" 2>&1) ||
    { tail -n 40 "$work/mpg123-configure.log" >&2; exit 1; }
  make -C "$work/mpg123-src" -j"$jobs" src/libmpg123/libmpg123.la >"$work/mpg123-make.log" 2>&1 ||
    { tail -n 40 "$work/mpg123-make.log" >&2; exit 1; }
  make -C "$work/mpg123-src" install-libLTLIBRARIES lib_LTLIBRARIES=src/libmpg123/libmpg123.la \
    install-includeHEADERS install-nodist_includeHEADERS install-pkgconfigDATA \
    >>"$work/mpg123-make.log" 2>&1 || { tail -n 40 "$work/mpg123-make.log" >&2; exit 1; }
  mark_built mpg123 "$mpg123_version $mpg123_options $CFLAGS"
fi

# --- GoogleTest -----------------------------------------------------------
gtest_src=/usr/src/googletest
gtest_version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || true)
if [ ! -f "$gtest_src/CMakeLists.txt" ] || [ -z "$gtest_version" ]; then
  echo "windows-deps: no GoogleTest sources in $gtest_src (Debian's googletest package)" >&2
  exit 1
fi
if built googletest "$gtest_version $(sha256sum "$toolchain" | cut -d' ' -f1)"; then
  log "GoogleTest $gtest_version: already built"
else
  log "GoogleTest $gtest_version: building"
  rm -rf "$work/googletest-build"
  {
    cmake -S "$gtest_src" -B "$work/googletest-build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF &&
      cmake --build "$work/googletest-build" &&
      cmake --install "$work/googletest-build"
  } >"$work/googletest.log" 2>&1 || { tail -n 40 "$work/googletest.log" >&2; exit 1; }
  mark_built googletest "$gtest_version $(sha256sum "$toolchain" | cut -d' ' -f1)"
fi
