#!/usr/bin/env bash
# Runs a command where this machine's GDAL, PROJ, libpq and GEOS cannot be seen.
#
#   scripts/without_system_gdal.sh COMMAND [ARG ...]      (as root)
#
# In a private mount namespace (unshare -m) of its own:
# * the shared libraries libgdal.so*, libproj.so*, libpq.so* and libgeos*.so* vanish
#   from the library folder: an overlay over it with whiteouts for their names;
# * the dynamic loader's cache is rebuilt without them and mounted over
#   /etc/ld.so.cache;
# * empty folders are mounted over GDAL's and PROJ's data folders
#   (/usr/share/gdal, /usr/share/proj) and PROJ's user folder.
# Then it checks that `ls` and `ldconfig -p` see none of it and that the dynamic
# loader cannot load libgdal.so.32, libproj.so.25 or libpq.so.5, and runs
# COMMAND there. Nothing outside the namespace changes; everything it mounted
# goes away with it. The exit status is COMMAND's.
set -euo pipefail

if [ "$#" -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG ...]" >&2
  exit 2
fi
if [ -z "${VORIVIV_IN_PRIVATE_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "without_system_gdal: needs root (mount namespaces)" >&2; exit 1; }
  command -v unshare >/dev/null || { echo "without_system_gdal: unshare not found" >&2; exit 1; }
  export VORIVIV_IN_PRIVATE_NS=1
  exec unshare --mount --propagation private -- "$0" "$@"
fi
unset VORIVIV_IN_PRIVATE_NS

LIBDIR=/usr/lib/x86_64-linux-gnu
HIDE_LIBS=(libgdal.so 'libproj.so' 'libpq.so' 'libgeos')
HIDE_DATA=(/usr/share/gdal /usr/share/proj "${HOME:-/root}/.local/share/proj")

SCRATCH=$(mktemp -d /tmp/voriviv-nogdal.XXXXXX)
mount -t tmpfs tmpfs "$SCRATCH"           # upper and work folders of the overlay
# The mounts end with the namespace; only the folder itself is left to remove.
trap 'umount -l "$SCRATCH" 2>/dev/null; rmdir "$SCRATCH" 2>/dev/null || true' EXIT
mkdir -p "$SCRATCH/upper" "$SCRATCH/work" "$SCRATCH/empty"

hidden=()
for entry in "$LIBDIR"/*; do
  name=${entry##*/}
  for prefix in "${HIDE_LIBS[@]}"; do
    if [[ "$name" == "$prefix"* ]]; then
      mknod "$SCRATCH/upper/$name" c 0 0   # an overlay whiteout: the name is gone
      hidden+=("$name")
    fi
  done
done
[ "${#hidden[@]}" -gt 0 ] || { echo "without_system_gdal: found nothing to hide in $LIBDIR" >&2; exit 1; }
mount -t overlay overlay \
  -o "lowerdir=$LIBDIR,upperdir=$SCRATCH/upper,workdir=$SCRATCH/work" "$LIBDIR"

ldconfig -X -C "$SCRATCH/ld.so.cache"     # -X: leave the links alone
mount --bind "$SCRATCH/ld.so.cache" /etc/ld.so.cache

for d in "${HIDE_DATA[@]}"; do
  [ -d "$d" ] && mount --bind "$SCRATCH/empty" "$d"
done

# --- the checks: none of it may be visible any more --------------------------------
fail() { echo "without_system_gdal: still visible: $*" >&2; exit 1; }
for prefix in "${HIDE_LIBS[@]}"; do
  found=$(ls "$LIBDIR" /lib/x86_64-linux-gnu | grep "^$prefix" || true)
  [ -z "$found" ] || fail "$found (ls)"
  found=$(ldconfig -p | grep -F "$prefix" || true)
  [ -z "$found" ] || fail "$found (ldconfig -p)"
done
for d in "${HIDE_DATA[@]}"; do
  [ ! -d "$d" ] || [ -z "$(ls -A "$d")" ] || fail "the files of $d"
done
python3 - <<'EOF' || fail "a library the dynamic loader still loads"
import ctypes, sys
for soname in ("libgdal.so.32", "libproj.so.25", "libpq.so.5", "libgeos_c.so.1"):
    try:
        ctypes.CDLL(soname)
    except OSError:
        continue
    print("loaded", soname, file=sys.stderr)
    sys.exit(1)
EOF
echo "without_system_gdal: hidden ${#hidden[*]} files (${hidden[*]}) and ${HIDE_DATA[*]}" >&2

"$@"
