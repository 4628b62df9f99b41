"""What progress reporting costs, same machine, same run.

One PostgreSQL table of N points is exported to a Shapefile (one layer, one
thread), alternating:

* voriviv pg2shp without a progress callable (the layer is still counted:
  GDAL reports every feature, which also makes Ctrl-C stop a running layer);
* voriviv pg2shp with a voriviv.report.Report as progress callable;
* GDAL's ogr2ogr without and with -progress, the peer.

Ratios near 1 mean reporting is free. Uses a throwaway PostGIS server, or the
one named by VORIVIV_PG_DSN.

Usage: .venv/bin/python bench/bench_progress.py [--rows N] [--repeat N]
Ratios are printed, never asserted.
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import pgserver  # noqa: E402
from voriviv.geofileops import shp  # noqa: E402
from voriviv.report import Report  # noqa: E402


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=300_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"cpus: {os.cpu_count()}  load average before: "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()))

    server = pgserver.server_from_env()
    info = server.start()
    work = Path(tempfile.mkdtemp(prefix="voriviv-bench-progress-"))
    try:
        pgserver.psql(info, "DROP SCHEMA IF EXISTS bench_progress CASCADE; "
                            "CREATE SCHEMA bench_progress; "
                            "CREATE TABLE bench_progress.pts AS SELECT g AS id, 'p' || g AS label, "
                            "ST_SetSRID(ST_MakePoint(g % 360 - 180, g % 90), 4326)"
                            "::geometry(Point, 4326) AS geom "
                            f"FROM generate_series(1, {args.rows}) g")
        conn = pgserver.gdal_connection_text(info) + " schemas=bench_progress"
        shp.set_geofileops_threads(1)

        def ours(progress):
            out = work / "ours"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            shp.ShapefileDatabase(out).pg2shp(conn, schema="bench_progress", progress=progress)

        def peer(*extra):
            out = work / "peer"
            shutil.rmtree(out, ignore_errors=True)
            subprocess.run(["ogr2ogr", *extra, "-f", "ESRI Shapefile", str(out), conn, "pts"],
                           check=True, stdout=subprocess.DEVNULL)

        runs = {"voriviv, no callable": lambda: ours(None),
                "voriviv, Report callable": lambda: ours(Report("pg2shp")),
                "ogr2ogr": lambda: peer(),
                "ogr2ogr -progress": lambda: peer("-progress")}
        best = {name: float("inf") for name in runs}
        for _ in range(args.repeat):
            for name, fn in runs.items():
                best[name] = min(best[name], timed(fn))
        print(f"\n{args.rows} points PostgreSQL -> Shapefile, one layer, best of {args.repeat}")
        for name, t in best.items():
            print(f"  {name:28s} {t:8.2f} s")
        print(f"  ratio callable / no callable  {best['voriviv, Report callable'] / best['voriviv, no callable']:8.2f}")
        print(f"  ratio voriviv / ogr2ogr       {best['voriviv, no callable'] / best['ogr2ogr']:8.2f}")
        print(f"  ratio ogr2ogr -progress / not {best['ogr2ogr -progress'] / best['ogr2ogr']:8.2f}")
    finally:
        pgserver.psql(info, "DROP SCHEMA IF EXISTS bench_progress CASCADE")
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
