"""voriviv verify against reading both sides with ogrinfo, same data, same run.

The inputs are bench_every.py's (four-vertex lines in PostGIS, written with
ogr2ogr into a File Geodatabase; its `generate`), converted once, untimed,
with voriviv: gdb2shape into a directory of Shapefiles and gdb2pg into the
PostGIS schema `verify_pg`. Then, per pair:

* ours: `voriviv.verify.verify(source, target)` with --threads (2) threads;
* ogrinfo: `ogrinfo -ro -al -q LAYER > /dev/null` once per layer on each side
  (the source geodatabase's layer, the target's file or table), --threads
  processes at a time (`xargs -P`).

Each side runs --repeat (3) times, alternating which goes first; the table
gives the median, the min-max and the ratio of the medians (ours / ogrinfo;
below 1: verifying costs less than reading both sides). A verification that
finds a layer differing, or reads fewer features than were generated, gets a
warning row instead of a ratio. Nothing is
asserted. A throwaway PostGIS server is started unless VORIVIV_PG_DSN names one.

    .venv/bin/python bench/bench_verify.py [--layers 4] [--features 100000]
        [--threads 2] [--repeat 3] [--keep DIR]
"""
from __future__ import annotations

import argparse
import os
import shlex
import shutil
import tempfile
import time
from pathlib import Path
from typing import Callable, List

from bench_every import Case, generate, measure, pgserver, print_table, run, xargs
import voriviv.geofileops.gdb as gdb_module
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.verify import DIFFERS, verify


def ogrinfo_all(datasets: List[List[str]], parallel: int) -> Callable[[], None]:
    """Reads every (dataset, layer) with ogrinfo, output thrown away."""
    commands = [["sh", "-c", shlex.join(["ogrinfo", "-ro", "-al", "-q", *d]) + " >/dev/null"]
                for d in datasets]
    return lambda: xargs(commands, parallel)


def verify_case(name: str, source: str, target: str, schema: str, threads: int,
                features: int, peer: Callable[[], None]) -> Case:
    last = {}

    def ours() -> None:
        last["report"] = verify(source, target, schema=schema, threads=threads)

    def check(side: str) -> List[str]:
        if side != "ours":
            return []
        report = last.get("report")
        if report is None:
            return ["ours: no report"]
        return [f"ours: {c.line()}" for c in report.layers
                if c.status == DIFFERS or c.source_features != features]

    return Case(name, ours, peer, lambda: None, lambda: None, check)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--features", type=int, default=100_000, help="lines per layer")
    ap.add_argument("--threads", type=int, default=2,
                    help="verify's threads, and ogrinfo processes at once (xargs -P)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--keep", type=Path, help="work directory to use and keep")
    args = ap.parse_args()

    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    server = pgserver.server_from_env()
    info = server.start()
    work = args.keep or Path(tempfile.mkdtemp(prefix="bench-verify-"))
    work.mkdir(parents=True, exist_ok=True)
    saved = gdb_module.GEOFILEOPS_THREADS
    try:
        print(f"cores: {os.cpu_count()}; load average before the run: {load_before}")
        print(f"GDAL {run(['gdal-config', '--version']).strip()}; "
              f"PostgreSQL {pgserver.psql(info, 'SHOW server_version')}")
        layers = [f"lines{i}" for i in range(args.layers)]
        t0 = time.perf_counter()
        inp = generate(info, work, "gen", layers, args.features, "many")
        shp, schema = work / "verify_shp", "verify_pg"
        shutil.rmtree(shp, ignore_errors=True)
        pg_text = pgserver.gdal_connection_text(info)
        pgserver.psql(info, f"DROP SCHEMA IF EXISTS {schema} CASCADE; CREATE SCHEMA {schema}")
        gdb_module.set_geofileops_threads(args.threads)
        GeoFileDatabase(inp.gdb).gdb2shape(shp)
        GeoFileDatabase(inp.gdb).gdb2pg(info, schema=schema)
        print(f"inputs and conversions ready in {time.perf_counter() - t0:.1f} s: "
              f"{args.layers} layer(s) x {args.features} lines")

        source = [[str(inp.gdb), layer] for layer in layers]
        to_shp = verify_case(
            "verify gdb2shape", str(inp.gdb), str(shp), schema, args.threads, args.features,
            ogrinfo_all(source + [[str(shp / f"{layer}.shp")] for layer in layers],
                        args.threads))
        to_pg = verify_case(
            "verify gdb2pg", str(inp.gdb), f"{pg_text} schemas={schema}", schema, args.threads,
            args.features,
            ogrinfo_all(source + [[f"{pg_text} schemas={schema}", layer] for layer in layers],
                        args.threads))
        rows = []
        for case in (to_shp, to_pg):
            t0 = time.perf_counter()
            rows.append(measure(case, args.repeat))
            print(f"  {case.name} done in {time.perf_counter() - t0:.1f} s", flush=True)
        print_table(f"{args.layers} layers x {args.features} lines: voriviv verify "
                    f"{args.threads} threads vs ogrinfo -al -q of both sides, {args.threads} "
                    f"at a time; median of {args.repeat}", rows, peer="ogrinfo")
        print(f"\nload average after the run: "
              f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    finally:
        gdb_module.set_geofileops_threads(saved)
        server.stop()
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
