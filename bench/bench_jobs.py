"""A job file run here and on a Dask LocalCluster, same machine, same run.

4 File Geodatabases of 8 layers each (100,000 line features per layer by
default, the data of bench_gdb.py) are loaded into PostGIS (one schema per
geodatabase) by one job file, alternating:

* ``voriviv run JOBS.toml --threads 2``: the jobs one after another, each on
  the converter's pool of 2 threads;
* ``voriviv run JOBS.toml --scheduler ADDRESS`` against a LocalCluster of 2
  single-threaded worker processes started once beforehand: the 32 layers
  as tasks of one to eight layers (plus one listing task);
* with ``--with-startup``: ``voriviv run JOBS.toml --local-cluster 2``, the
  cluster started and stopped by the command (what a one-off run costs).

The ratio cluster / here is the cost of going through Dask's scheduler (goal:
at most 1.15). Uses a throwaway PostGIS server, or the one named by
VORIVIV_PG_DSN.

Usage: .venv/bin/python bench/bench_jobs.py [--features N] [--repeat N] [--with-startup]
Ratios are printed, never asserted.
"""
from __future__ import annotations

import argparse
import json
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

VORIVIV = str(Path(sys.executable).with_name("voriviv"))
GDBS, LAYERS = 4, 8


def make_sources(info, work: Path, features: int) -> None:
    pgserver.psql(info, f"""
        DROP SCHEMA IF EXISTS bench_src CASCADE; CREATE SCHEMA bench_src;
        CREATE TABLE bench_src.lines AS
        SELECT g AS id, 'road ' || g AS name, (g % 7)::int AS kind, g * 0.5 AS length,
               ST_SetSRID(ST_MakeLine(ARRAY[
                   ST_MakePoint(g % 360 - 180, (g % 170) - 85),
                   ST_MakePoint(g % 360 - 179.5, (g % 170) - 84.5),
                   ST_MakePoint(g % 360 - 179, (g % 170) - 84.7)]), 4326)
                   ::geometry(LineString, 4326) AS geom
        FROM generate_series(1, {features}) g""")
    conn = pgserver.gdal_connection_text(info) + " schemas=bench_src"
    first = work / "src0.gdb"
    for layer in range(LAYERS):
        subprocess.run(["ogr2ogr", "-f", "OpenFileGDB", *(["-update"] if layer else []),
                        str(first), conn, "lines", "-nln", f"lines{layer}"], check=True)
    for g in range(1, GDBS):
        shutil.copytree(first, work / f"src{g}.gdb")
    pgserver.psql(info, "DROP SCHEMA bench_src CASCADE")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--features", type=int, default=100_000, help="features per layer")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--with-startup", action="store_true",
                    help="also time --local-cluster 2 (the cluster started by the command)")
    args = ap.parse_args()
    print(f"cpus: {os.cpu_count()}  load average before: "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()))

    from voriviv._dask import start_local_cluster

    server = pgserver.server_from_env()
    info = server.start()
    work = Path(tempfile.mkdtemp(prefix="voriviv-bench-jobs-"))
    cluster = client = None
    try:
        make_sources(info, work, args.features)
        schemas = [f"bench_jobs_{g}" for g in range(GDBS)]
        pgserver.psql(info, "; ".join(f"DROP SCHEMA IF EXISTS {s} CASCADE; CREATE SCHEMA {s}"
                                      for s in schemas))
        jobs = work / "jobs.toml"
        jobs.write_text("".join(
            f'[[job]]\nmethod = "gdb2pg"\nsource = "src{g}.gdb"\n'
            f'target = {{ env = "BENCH_DSN" }}\nschema = "{s}"\noverwrite = true\n\n'
            for g, s in enumerate(schemas)))
        env = dict(os.environ, BENCH_DSN=pgserver.gdal_connection_text(info))
        cluster, client = start_local_cluster(2)

        def voriviv_run(*extra):
            def go():
                out = subprocess.run([VORIVIV, "run", str(jobs), "--json", *extra],
                                     capture_output=True, text=True, env=env)
                if out.returncode != 0:
                    raise SystemExit(f"voriviv run {' '.join(extra)} failed:\n{out.stderr}")
                report = json.loads(out.stdout)
                assert report["features_written"] == GDBS * LAYERS * args.features
            return go

        runs = {"here, 2 threads": voriviv_run("--threads", "2"),
                "LocalCluster 2x1, running": voriviv_run("--scheduler",
                                                         client.scheduler.address)}
        if args.with_startup:
            runs["--local-cluster 2 (with start)"] = voriviv_run("--local-cluster", "2")
        times = {name: [] for name in runs}
        for _ in range(args.repeat):
            for name, fn in runs.items():
                t0 = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - t0)
        best = {name: min(t) for name, t in times.items()}
        here = best["here, 2 threads"]
        print(f"\n{GDBS} geodatabases x {LAYERS} layers x {args.features} lines -> PostGIS, "
              f"voriviv run, best of {args.repeat} (each a whole command)")
        for name, t in best.items():
            print(f"  {name:32s} {t:8.2f} s   (all: {', '.join(f'{x:.2f}' for x in times[name])})")
        # Other load on the machine changes from one round to the next; the
        # ratio within each round (the two runs back to back) shows the spread.
        print("  ratio cluster / here per round  "
              + ", ".join(f"{c / h:.2f}" for c, h in zip(times["LocalCluster 2x1, running"],
                                                      times["here, 2 threads"])))
        print(f"  ratio cluster / here            "
              f"{best['LocalCluster 2x1, running'] / here:8.2f}   (goal <= 1.15)")
        if args.with_startup:
            print(f"  ratio --local-cluster / here    "
                  f"{best['--local-cluster 2 (with start)'] / here:8.2f}")
    finally:
        if client is not None:
            client.close()
            cluster.close()
        try:
            pgserver.psql(info, "; ".join(f"DROP SCHEMA IF EXISTS bench_jobs_{g} CASCADE"
                                          for g in range(GDBS)))
        finally:
            server.stop()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
