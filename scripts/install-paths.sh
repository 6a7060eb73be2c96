# What install.sh and uninstall.sh share, sourced by both: their arguments
# (BUILD PREFIX), the root below which they work (DESTDIR, when set) and
# the note of the folders the install made.
[ $# -eq 2 ] || { echo "usage: $0 BUILD PREFIX" >&2; exit 2; }
build=$1
prefix=$(realpath -m -- "$2")
root=${DESTDIR:-}
record=$prefix/share/sonaret/folders-made-by-install
