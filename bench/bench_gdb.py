"""Geodatabase conversions against GDAL's ogr2ogr, same machine, same run.

Generates 8 layers x 100,000 line features in a throwaway PostGIS server,
builds a File Geodatabase from them with ogr2ogr, then times:

* gdb2shape with 1 and 2 threads vs ogr2ogr per layer (sequential, xargs -P2)
* gdb2pg with 2 threads vs xargs -P2 ogr2ogr into the same server, and vs the
  server's own binary COPY of the same rows (each table written once to a
  server-side binary file; then, two psql sessions at a time, CREATE TABLE
  (LIKE ...), COPY FROM the file and the GiST index)
* gdb2pg of one layer of 8 x N lines, 2 threads vs 1
* pg2gdb with 1 and 2 threads vs ogr2ogr per layer in sequence

Usage: .venv/bin/python bench/bench_gdb.py [--features N] [--layers N] [--only pg]
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

from voriviv.geofileops import gdb  # noqa: E402


def timed(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def timed_pair(first, second, repeat=3):
    """Best times of two jobs run alternately, so drift of the machine or the
    database over the run does not favour whichever runs last."""
    a = b = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        first()
        a = min(a, time.perf_counter() - t0)
        t0 = time.perf_counter()
        second()
        b = min(b, time.perf_counter() - t0)
    return a, b


def sh(cmd, **kw):
    subprocess.run(cmd, shell=True, check=True, capture_output=True, **kw)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--features", type=int, default=100_000)
    ap.add_argument("--layers", type=int, default=8)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", choices=["pg"], help="run the PostgreSQL loads only")
    args = ap.parse_args()
    layers = [f"lines{i}" for i in range(args.layers)]

    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    server = pgserver.server_from_env()
    info = server.start()
    work = Path(tempfile.mkdtemp(prefix="voriviv-bench-"))
    try:
        pg_text = pgserver.gdal_connection_text(info)
        env = pgserver.libpq_env(info)
        pgserver.psql(info, "DROP SCHEMA IF EXISTS src CASCADE; CREATE SCHEMA src; "
                            "DROP SCHEMA IF EXISTS dst CASCADE; CREATE SCHEMA dst")
        for name in layers:
            pgserver.psql(info, f"""
                CREATE TABLE src.{name} AS
                SELECT g AS id, 'road ' || g AS name, (g % 7)::int AS kind, g * 0.5 AS length,
                       ST_SetSRID(ST_MakeLine(ARRAY[
                           ST_MakePoint(g % 360 - 180, (g % 170) - 85),
                           ST_MakePoint(g % 360 - 179.5, (g % 170) - 84.5),
                           ST_MakePoint(g % 360 - 179, (g % 170) - 84.7)]), 4326)
                           ::geometry(LineString, 4326) AS geom
                FROM generate_series(1, {args.features}) g""")
        src_gdb = work / "src.gdb"
        for i, name in enumerate(layers):
            sh(f"ogr2ogr -f OpenFileGDB {'-update' if i else ''} {src_gdb} "
               f"'{pg_text} schemas=src' {name}")
        src_pg = f"{pg_text} schemas=src"
        dst_pg_text = f"{pg_text} schemas=dst"
        db = gdb.GeoFileDatabase(src_gdb)
        rows = []

        def fresh(d):
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir()
            return d

        # gdb2shape -------------------------------------------------------------
        out = work / "shp"

        def ogr_seq_shape():
            fresh(out)
            for name in layers:
                sh(f"ogr2ogr -f 'ESRI Shapefile' {out}/{name}.shp {src_gdb} {name}")

        def ogr_p2_shape():
            fresh(out)
            sh(f"printf '%s\\n' {' '.join(layers)} | xargs -P2 -I{{}} "
               f"ogr2ogr -f 'ESRI Shapefile' {out}/{{}}.shp {src_gdb} {{}}")

        def ours_shape(n):
            def run():
                fresh(out)
                gdb.set_geofileops_threads(n)
                db.gdb2shape(out)
            return run

        if args.only != "pg":
            t_seq, t1 = timed_pair(ogr_seq_shape, ours_shape(1), args.repeat)
            t_p2, t2 = timed_pair(ogr_p2_shape, ours_shape(2), args.repeat)
            rows += [("gdb2shape 1 thread / ogr2ogr sequential", t1, t_seq, t1 / t_seq, "<= 1.05"),
                     ("gdb2shape 1 thread / 2 threads", t1, t2, t1 / t2, ">= 1.6"),
                     ("gdb2shape 2 threads / xargs -P2 ogr2ogr", t2, t_p2, t2 / t_p2, "<= 1.0")]

        # gdb2pg ----------------------------------------------------------------
        def ogr_p2_pg():
            sh(f"printf '%s\\n' {' '.join(layers)} | xargs -P2 -I{{}} "
               f"ogr2ogr -f PostgreSQL '{dst_pg_text}' {src_gdb} {{}} -nlt PROMOTE_TO_MULTI "
               f"-lco SCHEMA=dst -lco OVERWRITE=YES")

        def ours_pg():
            gdb.set_geofileops_threads(2)
            db.gdb2pg(info, schema="dst", overwrite=True)

        t_pg_ogr, t_pg = timed_pair(ogr_p2_pg, ours_pg, args.repeat)
        rows.append(("gdb2pg 2 threads / xargs -P2 ogr2ogr", t_pg, t_pg_ogr, t_pg / t_pg_ogr,
                     "<= 0.6"))

        # The server's own binary COPY of the rows gdb2pg wrote, index afterwards.
        files = Path(tempfile.mkdtemp(prefix="voriviv-bench-copy-"))
        files.chmod(0o777)
        ours_pg()
        geom = {name: pgserver.psql(info, "SELECT f_geometry_column FROM geometry_columns "
                                          f"WHERE f_table_schema = 'dst' AND f_table_name = '{name}'")
                for name in layers}
        for name in layers:
            pgserver.psql(info, f"COPY dst.{name} TO '{files}/{name}.bin' (FORMAT binary)")
        pgserver.psql(info, "DROP SCHEMA IF EXISTS cp CASCADE; CREATE SCHEMA cp")
        for n in layers:
            (files / f"{n}.sh").write_text(
                f"psql -qX -v ON_ERROR_STOP=1 -c 'DROP TABLE IF EXISTS cp.{n}' "
                f"-c 'CREATE TABLE cp.{n} (LIKE dst.{n})' "
                f"-c \"COPY cp.{n} FROM '{files}/{n}.bin' (FORMAT binary)\" "
                f"-c 'CREATE INDEX ON cp.{n} USING gist ({geom[n]})'\n")

        def server_copy():
            subprocess.run(f"ls {files}/*.sh | xargs -P2 -n1 sh", shell=True, check=True,
                           capture_output=True, env={**os.environ, **env})

        try:
            t_copy, t_pg2 = timed_pair(server_copy, ours_pg, args.repeat)
        finally:
            shutil.rmtree(files, ignore_errors=True)
        rows.append(("gdb2pg 2 threads / server binary COPY -P2", t_pg2, t_copy, t_pg2 / t_copy,
                     "<= 2.5"))

        # One large layer: 2 threads against 1.
        big = work / "one.gdb"
        pgserver.psql(info, f"CREATE TABLE src.one AS SELECT * FROM src.{layers[0]}, "
                            f"generate_series(1, {args.layers}) k")
        sh(f"ogr2ogr -f OpenFileGDB {big} '{src_pg}' one")
        # Only the 8 layers stay in the source schema that pg2gdb exports below.
        pgserver.psql(info, "DROP TABLE src.one")
        one = gdb.GeoFileDatabase(big)

        def ours_one(n):
            def run():
                gdb.set_geofileops_threads(n)
                one.gdb2pg(info, schema="dst", overwrite=True)
            return run

        t_one1, t_one2 = timed_pair(ours_one(1), ours_one(2), args.repeat)
        rows.append((f"gdb2pg 1 layer x {args.layers * args.features}: 1 thread / 2", t_one1,
                     t_one2, t_one1 / t_one2, ">= 1.6"))
        if args.only == "pg":
            rows.sort(key=lambda r: not r[0].startswith("gdb2pg"))

        # pg2gdb ----------------------------------------------------------------
        target = work / "out.gdb"

        def ogr_seq_gdb():
            shutil.rmtree(target, ignore_errors=True)
            for i, name in enumerate(layers):
                sh(f"ogr2ogr -f OpenFileGDB {'-update' if i else ''} {target} '{src_pg}' {name}")

        def ours_gdb(n):
            def run():
                gdb.set_geofileops_threads(n)
                gdb.GeoFileDatabase(target, "create").pg2gdb(info, schema="src")
            return run

        if args.only != "pg":
            t_gseq, tg2 = timed_pair(ogr_seq_gdb, ours_gdb(2), args.repeat)
            tg1 = timed(ours_gdb(1), args.repeat)
            rows += [("pg2gdb 2 threads / 1 thread", tg2, tg1, tg2 / tg1, "report"),
                     ("pg2gdb 2 threads / ogr2ogr sequential", tg2, t_gseq, tg2 / t_gseq,
                      "report")]

        print(f"\n{args.layers} layers x {args.features} line features, "
              f"{os.cpu_count()} cores, best of {args.repeat} (peer and voriviv alternating), "
              f"load average before the run: {load_before}\n")
        print(f"{'comparison':45} {'ours s':>8} {'peer s':>8} {'ratio':>7}  goal")
        for name, a, b, r, goal in rows:
            print(f"{name:45} {a:8.2f} {b:8.2f} {r:7.2f}  {goal}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        server.stop()


if __name__ == "__main__":
    main()
