"""The conversions of the wheel smoke test, run by the wheel's own interpreter.

    python wheel_smoke_inside.py SHAPEFILE_DIR OUT_DIR PG_TEXT

Run by scripts/wheel_smoke.py in a fresh virtual environment holding only the
wheel, inside scripts/without_system_gdal.sh (no system libgdal, libproj, libpq,
GEOS, GDAL data or PROJ data). It checks that importing voriviv pointed PROJ and
GDAL at the package's own data, then converts:

    SHAPEFILE_DIR --shp2tab--> OUT/tab --tab2shp--> OUT/shp
    SHAPEFILE_DIR --shp2pg--> schema smoke_shp     OUT/tab --tab2pg--> schema smoke_tab
    schema smoke_shp --pg2gdb--> OUT/smoke.gdb

and lists the geodatabase's layers with the environment's `voriviv` command.
It checks that the GDAL, PROJ, libpq and GEOS this process mapped are the ones in
the wheel. Prints a JSON summary on stdout. Checking the results is the caller's
job, with the system's GDAL, outside the namespace.
"""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

WATCHED = ("libgdal", "libproj", "libpq", "libgeos")


def mapped_libraries():
    paths = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.split()
            if len(parts) >= 6 and ".so" in parts[5]:
                paths.add(parts[5])
    return sorted(paths)


def main(src, out, pg_text):
    env_before = {k: os.environ.get(k) for k in ("PROJ_DATA", "PROJ_LIB", "GDAL_DATA")}
    import voriviv
    package = Path(voriviv.__file__).resolve().parent
    env_after = {k: os.environ.get(k) for k in env_before}
    if not str(package).startswith(os.path.realpath(sys.prefix) + "/"):
        sys.exit(f"voriviv imported from {package}, not from the environment {sys.prefix}")
    expected = {"PROJ_DATA": str(package / "_data" / "proj"),
                "GDAL_DATA": str(package / "_data" / "gdal")}
    for key, value in expected.items():
        if env_before[key] is None and env_after[key] != value:
            sys.exit(f"import voriviv set {key}={env_after[key]!r}, expected {value!r}")
    import voriviv.bounding_box  # noqa: F401  (every extension module loads)
    import voriviv.pos  # noqa: F401
    import voriviv.tileid  # noqa: F401
    from voriviv.geofileops.gdb import GeoFileDatabase
    from voriviv.geofileops.shp import ShapefileDatabase
    from voriviv.geofileops.tab import TabFileDatabase

    out = Path(out)
    seconds = {}

    def step(name, call):
        t0 = time.perf_counter()
        call()
        seconds[name] = round(time.perf_counter() - t0, 2)

    step("shp2tab", lambda: ShapefileDatabase(src).shp2tab(out / "tab"))
    step("tab2shp", lambda: TabFileDatabase(out / "tab").tab2shp(out / "shp"))
    step("shp2pg", lambda: ShapefileDatabase(src).shp2pg(pg_text, schema="smoke_shp",
                                                         overwrite=True))
    step("tab2pg", lambda: TabFileDatabase(out / "tab").tab2pg(pg_text, schema="smoke_tab",
                                                               overwrite=True))
    step("pg2gdb", lambda: GeoFileDatabase(out / "smoke.gdb", mode="create").pg2gdb(
        pg_text, schema="smoke_shp"))

    command = Path(sys.executable).parent / "voriviv"
    listed = json.loads(subprocess.run([str(command), "layers", str(out / "smoke.gdb"), "--json"],
                                       check=True, capture_output=True, text=True).stdout)

    libs = mapped_libraries()
    foreign = [p for p in libs if any(w in os.path.basename(p) for w in WATCHED)
               and not p.startswith(str(package.parent / "voriviv.libs") + "/")]
    if foreign:
        sys.exit(f"libraries loaded from outside the wheel: {foreign}")
    ours = [p for p in libs if any(w in os.path.basename(p) for w in WATCHED)]
    if not any("libgdal" in p for p in ours):
        sys.exit(f"no libgdal mapped after the conversions: {libs}")
    json.dump({"env": env_after, "seconds": seconds,
               "command_layers": sorted(layer["name"] for layer in listed["layers"]),
               "wheel_libraries_mapped": len([p for p in libs if "voriviv.libs" in p]),
               "watched_libraries": ours,
               "other_libraries": [p for p in libs if str(package.parent) not in p]},
              sys.stdout, indent=1)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
