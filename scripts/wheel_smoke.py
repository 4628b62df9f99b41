"""Smoke test of the manylinux wheel where the system's GDAL cannot be seen.

    python3 scripts/wheel_smoke.py [WHEEL] [--python PY]    (as root)

WHEEL defaults to dist/voriviv-*manylinux*.whl; PY, the interpreter of the fresh
virtual environment, to the one running this script (its version must be the
wheel's).

Run with Debian's python3 (it reads the results with GDAL's own Python bindings,
python3-gdal). Steps:

1. a fresh virtual environment with nothing but the wheel installed (no index);
2. a throwaway PostGIS server (scripts/pgserver.py), started out here;
3. scripts/without_system_gdal.sh hides the system's libgdal, libproj, libpq, GEOS,
   GDAL data and PROJ data, and checks they are gone; in there the environment's
   interpreter runs scripts/wheel_smoke_inside.py, which converts the Natural
   Earth Shapefiles to TAB and back, loads the Shapefiles and the TAB files into
   PostGIS and exports one schema to a File Geodatabase;
4. out here again, with the system's GDAL and psql: every output layer has its
   source's feature count, extent and coordinate system (the .prj and .tab files
   read back, the PostGIS tables' SRID, the geodatabase's layers);
5. a control: the same conversion with PROJ_DATA naming an empty folder must fail
   for want of proj.db, which shows that the namespace left PROJ no other copy.

Exit status 0 when every check held; the failures are printed otherwise.
"""
from __future__ import annotations

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import pgserver  # noqa: E402
from data_paths import naturalearth_dir  # noqa: E402

from osgeo import gdal, ogr, osr  # noqa: E402  (the system's, the independent reader)

gdal.UseExceptions()

DATA_VARS = ("PROJ_DATA", "PROJ_LIB", "GDAL_DATA")


def log(msg: str) -> None:
    print(f"wheel_smoke: {msg}", flush=True)


def run(argv, **kw) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in argv], check=True, text=True, **kw)


def layer_facts(path: Path):
    ds = ogr.Open(str(path))
    if ds is None:
        raise AssertionError(f"GDAL cannot open {path}")
    layer = ds.GetLayer(0)
    srs = layer.GetSpatialRef()
    return {"name": layer.GetName(), "count": layer.GetFeatureCount(),
            "extent": layer.GetExtent(), "srs": srs.Clone() if srs else None}


def same_srs(a, b) -> bool:
    """The same coordinate system: datum, ellipsoid, prime meridian, units and
    projection; names and the order a definition lists its axes in aside (a
    Shapefile's .prj names no axis order, EPSG:4326 puts latitude first)."""
    return a is not None and b is not None and bool(a.IsSame(
        b, ["CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS",
            "IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES"]))


def srs_from_text(text: str):
    srs = osr.SpatialReference()
    try:
        srs.SetFromUserInput(text)
    except RuntimeError:
        return None
    return srs


def close_extent(a, b, tol=1e-5) -> bool:
    return all(abs(x - y) <= tol for x, y in zip(a, b))


class Checks:
    def __init__(self):
        self.failures, self.passed = [], 0

    def __call__(self, ok: bool, what: str) -> None:
        if ok:
            self.passed += 1
        else:
            self.failures.append(what)
            log("FAILED: " + what)


def main() -> int:
    if os.geteuid() != 0:
        sys.exit("wheel_smoke: needs root (mount namespaces)")
    parser = argparse.ArgumentParser(description="Smoke test of the manylinux wheel")
    parser.add_argument("wheel", nargs="?")
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args()
    wheels = ([args.wheel] if args.wheel else
              sorted(glob.glob(str(ROOT / "dist" / "voriviv-*manylinux*.whl"))))
    if len(wheels) != 1:
        sys.exit(f"wheel_smoke: expected one wheel, found {wheels or 'none'}: run make wheel")
    wheel = Path(wheels[0]).resolve()
    src = naturalearth_dir()
    sources = sorted(src.glob("*.shp"))
    if not sources:
        sys.exit(f"wheel_smoke: no Shapefiles in {src}")
    timings = {}
    srids = {}
    check = Checks()
    work = Path(tempfile.mkdtemp(prefix="voriviv-wheel-smoke-"))
    server = None
    try:
        t0 = time.perf_counter()
        venv = work / "venv"
        run([args.python, "-m", "venv", venv])
        run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index",
             "--disable-pip-version-check", wheel], stdout=subprocess.DEVNULL)
        timings["venv + install"] = time.perf_counter() - t0
        log(f"installed {wheel.name} ({wheel.stat().st_size / 1e6:.1f} MB) into {venv}")

        t0 = time.perf_counter()
        server = pgserver.ThrowawayPostgis()
        info = server.start()
        pgserver.psql(info, "CREATE SCHEMA smoke_shp; CREATE SCHEMA smoke_tab")
        timings["postgis start"] = time.perf_counter() - t0

        out = work / "out"
        out.mkdir()
        os.chmod(work, 0o755)
        env = {k: v for k, v in os.environ.items() if k not in DATA_VARS}
        inside = [HERE / "without_system_gdal.sh", venv / "bin" / "python",
                  HERE / "wheel_smoke_inside.py", src, out,
                  pgserver.gdal_connection_text(info)]
        t0 = time.perf_counter()
        done = run(inside, env=env, cwd=work, stdout=subprocess.PIPE)
        timings["conversions without the system's GDAL"] = time.perf_counter() - t0
        report = json.loads(done.stdout)
        log("inside: " + json.dumps({k: report[k] for k in ("env", "seconds",
                                                             "watched_libraries")}))
        log(f"inside: {report['wheel_libraries_mapped']} libraries mapped from the wheel; "
            f"from the system: {' '.join(os.path.basename(p) for p in report['other_libraries'])}")

        check(report["command_layers"] == sorted(shp.stem for shp in sources),
              f"the voriviv command lists {report['command_layers']} in the geodatabase")
        t0 = time.perf_counter()
        for shp in sources:
            name = shp.stem
            want = layer_facts(shp)
            check(want["srs"] is not None, f"{shp} has a coordinate system")
            want_code = (want["srs"].AutoIdentifyEPSG() == 0
                         and want["srs"].GetAuthorityCode(None))
            for kind, path in (("TAB", out / "tab" / f"{name}.tab"),
                               ("Shapefile", out / "shp" / f"{name}.shp"),
                               ("geodatabase", out / "smoke.gdb")):
                if kind == "geodatabase":
                    ds = ogr.Open(str(path))
                    lyr = ds.GetLayerByName(name) if ds else None
                    check(lyr is not None, f"{path} has a layer {name}")
                    if lyr is None:
                        continue
                    srs = lyr.GetSpatialRef()
                    got = {"count": lyr.GetFeatureCount(), "extent": lyr.GetExtent(),
                           "srs": srs.Clone() if srs else None}
                else:
                    check(path.exists(), f"{path} written")
                    if not path.exists():
                        continue
                    got = layer_facts(path)
                check(got["count"] == want["count"],
                      f"{kind} {name}: {got['count']} features, source {want['count']}")
                check(close_extent(got["extent"], want["extent"]),
                      f"{kind} {name}: extent {got['extent']}, source {want['extent']}")
                check(same_srs(got["srs"], want["srs"]),
                      f"{kind} {name}: coordinate system "
                      f"{got['srs'].GetName() if got['srs'] else None} is the source's "
                      f"{want['srs'].GetName()}")
            prj = out / "shp" / f"{name}.prj"
            check(prj.exists() and same_srs(srs_from_text(prj.read_text()), want["srs"]),
                  f"{prj} holds the source's coordinate system")
            for schema in ("smoke_shp", "smoke_tab"):
                rows = pgserver.psql(info, f"SELECT count(*) FROM {schema}.{name}")
                check(rows == str(want["count"]),
                      f"psql: {schema}.{name} has {rows} rows, source {want['count']}")
                srid = pgserver.psql(info, "SELECT srid FROM geometry_columns WHERE "
                                           f"f_table_schema = '{schema}' AND "
                                           f"f_table_name = '{name}'")
                srtext = pgserver.psql(info, "SELECT srtext FROM spatial_ref_sys WHERE "
                                             f"srid = {int(srid or 0)}")
                check(srid.isdigit() and int(srid) > 0
                      and same_srs(srs_from_text(srtext), want["srs"]),
                      f"psql: {schema}.{name} has SRID {srid!r} ({srtext[:60]!r}...), "
                      f"source EPSG:{want_code}")
                srids[f"{schema}.{name}"] = srid
        timings["checks"] = time.perf_counter() - t0

        # The control: with PROJ pointed at an empty folder there is no proj.db
        # left anywhere in the namespace, and the same conversion fails.
        t0 = time.perf_counter()
        empty = work / "empty-proj"
        empty.mkdir()
        control = subprocess.run(
            [str(a) for a in inside[:3]] + [str(src), str(work / "control"), inside[-1]],
            env=dict(env, PROJ_DATA=str(empty)), cwd=work, text=True,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        check(control.returncode != 0 and "proj.db" in control.stderr,
              "control: without proj.db the conversions fail "
              f"(exit {control.returncode}; stderr ends {control.stderr[-300:]!r})")
        timings["control"] = time.perf_counter() - t0
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)

    log(f"SRIDs in PostGIS: {srids}")
    for step, seconds in timings.items():
        log(f"{seconds:6.1f} s  {step}")
    log(f"{check.passed} passed, {len(check.failures)} failed")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
