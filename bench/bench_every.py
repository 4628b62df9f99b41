"""All ten conversions against ogr2ogr, same data, same run, printed as ratios.

Inputs are generated in PostGIS (four-vertex lines, EPSG:4326, attributes id
int, name text, length_m double, category int) and written with ogr2ogr into a
File Geodatabase, a directory of TAB files and a directory of Shapefiles; the
PostGIS schema `gen` holds the same tables. A throwaway PostGIS server is
started unless VORIVIV_PG_DSN names one.

Two tables are printed; by default both runs are made:

* many layers: --layers (4) x --features (100,000) lines; voriviv with
  --threads (2) in all three modules, against ogr2ogr one process per layer,
  --threads at a time (`xargs -P`), except pg2gdb and pg2gdbf, whose ogr2ogr
  processes write one geodatabase and so run one after another;
* one layer (`--single` runs only this one, `--no-single` skips it):
  --single-features (200,000) lines, voriviv with 1 thread against one
  ogr2ogr process.

Options shared by both sides: Shapefile outputs in UTF-8 (`-lco
ENCODING=UTF-8`); loads into PostgreSQL with `-nlt PROMOTE_TO_MULTI -lco
SCHEMA=s -lco OVERWRITE=YES` over a connection restricted with `schemas=s`;
exports from PostgreSQL name the same tables; pg2gdbf puts the tables into two
feature datasets (ogr2ogr: `-lco FEATURE_DATASET=name` per table, one after
another, into one new geodatabase).

Each conversion runs --repeat (3) times per side, ours and ogr2ogr
alternating (every other round the peer goes first); each run's output is
removed, untimed, before it. The table gives the median and the min-max of
each side and the ratio of the medians (ours / ogr2ogr; below 1 means voriviv
is faster). After the last runs the feature count of every output layer of
both sides is read back (ogrinfo / psql), and for pg2gdbf the feature dataset
of every layer; a conversion whose output is incomplete, or which failed,
gets a warning row instead of a ratio. Nothing is asserted.

    .venv/bin/python bench/bench_every.py [--layers 4] [--features 100000]
        [--threads 2] [--repeat 3] [--single-features 200000]
        [--single | --no-single] [--only gdb2pg,pg2tab] [--keep DIR]
"""
from __future__ import annotations

import argparse
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import pgserver  # noqa: E402
import voriviv.geofileops.gdb as gdb_module  # noqa: E402
import voriviv.geofileops.shp as shp_module  # noqa: E402
import voriviv.geofileops.tab as tab_module  # noqa: E402
from voriviv.geofileops.gdb import GeoFileDatabase  # noqa: E402
from voriviv.geofileops.shp import ShapefileDatabase  # noqa: E402
from voriviv.geofileops.tab import TabFileDatabase  # noqa: E402

CONVERSIONS = ("gdb2shape", "gdb2pg", "shp2pg", "tab2pg", "pg2shp", "pg2tab", "pg2gdb",
               "pg2gdbf", "shp2tab", "tab2shp")
SHP = ["-f", "ESRI Shapefile", "-lco", "ENCODING=UTF-8"]
TAB = ["-f", "MapInfo File"]
GDB = ["-f", "OpenFileGDB"]


# -- running things ------------------------------------------------------------

def run(argv: Sequence[str], env=None) -> str:
    """Runs a command; a failure raises RuntimeError with the end of its stderr."""
    done = subprocess.run(list(argv), capture_output=True, text=True, env=env)
    if done.returncode != 0:
        tail = (done.stderr or done.stdout).strip().splitlines()[-3:]
        raise RuntimeError(f"{shlex.join(argv[:3])} ... exit {done.returncode}: "
                           + " | ".join(tail))
    return done.stdout


def xargs(commands: List[List[str]], parallel: int) -> None:
    """Runs the commands `parallel` at a time, one process each, through xargs."""
    done = subprocess.run(["xargs", "-P", str(parallel), "-d", "\n", "-n", "1", "sh", "-c"],
                          input="\n".join(shlex.join(c) for c in commands), text=True,
                          capture_output=True)
    if done.returncode != 0:
        tail = done.stderr.strip().splitlines()[-3:]
        raise RuntimeError(f"xargs -P{parallel} ogr2ogr exit {done.returncode}: "
                           + " | ".join(tail))


def sequential(commands: List[List[str]]) -> None:
    for c in commands:
        run(c)


def fresh_dir(path: Path) -> Callable[[], None]:
    def reset() -> None:
        shutil.rmtree(path, ignore_errors=True)
        path.mkdir(parents=True)
    return reset


def gone(path: Path) -> Callable[[], None]:
    def reset() -> None:
        shutil.rmtree(path, ignore_errors=True)
        path.parent.mkdir(parents=True, exist_ok=True)
    return reset


def fresh_schema(info, schema: str) -> Callable[[], None]:
    return lambda: pgserver.psql(info, f"DROP SCHEMA IF EXISTS {schema} CASCADE; "
                                       f"CREATE SCHEMA {schema}")


# -- counting what arrived -------------------------------------------------------

def ogr_count(dataset: Path, layer: str) -> Optional[int]:
    """Feature count of one layer as ogrinfo reports it, or None when it is missing."""
    done = subprocess.run(["ogrinfo", "-ro", "-so", str(dataset), layer],
                          capture_output=True, text=True)
    m = re.search(r"^Feature Count: (\d+)", done.stdout, re.M)
    return int(m.group(1)) if m and done.returncode == 0 else None


def pg_count(info, schema: str, table: str) -> Optional[int]:
    exists = pgserver.psql(info, f"SELECT to_regclass('{schema}.{table}') IS NOT NULL")
    if exists != "t":
        return None
    return int(pgserver.psql(info, f"SELECT count(*) FROM {schema}.{table}"))


def gdb_datasets(gdb: Path) -> Dict[str, str]:
    """Layer name -> feature dataset ('' for none), from the geodatabase's GDB_Items."""
    done = subprocess.run(["ogrinfo", "-ro", "-q", "-oo", "LIST_ALL_TABLES=YES", str(gdb),
                           "-sql", "SELECT Path FROM GDB_Items"],
                          capture_output=True, text=True)
    out: Dict[str, str] = {}
    for m in re.finditer(r"Path \(String\) = \\(?:([^\\\n]+)\\)?([^\\\n]+)$", done.stdout, re.M):
        out[m.group(2).strip()] = (m.group(1) or "").strip()
    return out


# -- the comparisons -------------------------------------------------------------------

@dataclass
class Row:
    name: str
    ours: List[float] = field(default_factory=list)
    peer: List[float] = field(default_factory=list)
    problems: List[str] = field(default_factory=list)
    warnings: int = 0


@dataclass
class Case:
    """One conversion: both sides, their resets, and how to read back their outputs."""
    name: str
    ours: Callable[[], None]
    peer: Callable[[], None]
    reset_ours: Callable[[], None]
    reset_peer: Callable[[], None]
    check: Callable[[str], List[str]]   # side ("ours"/"ogr2ogr") -> problems


def measure(case: Case, repeat: int) -> Row:
    row = Row(case.name)
    sides = (("ours", case.ours, case.reset_ours, row.ours),
             ("ogr2ogr", case.peer, case.reset_peer, row.peer))
    failed = set()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for i in range(repeat):
            for label, fn, reset, times in (sides if i % 2 == 0 else sides[::-1]):
                if label in failed:
                    continue
                reset()
                start = time.perf_counter()
                try:
                    fn()
                except Exception as exc:  # noqa: BLE001 - reported in the table
                    failed.add(label)
                    row.problems.append(f"{label} failed: {exc}")
                    continue
                times.append(time.perf_counter() - start)
    row.warnings = sum(1 for w in caught if issubclass(w.category, RuntimeWarning))
    for label, *_ in sides:
        if label not in failed:
            row.problems += case.check(label)
    return row


@dataclass
class Inputs:
    layers: List[str]
    features: int
    schema: str          # PostGIS schema holding exactly these tables
    gdb: Path
    tab: Path
    shp: Path


def generate(info, work: Path, schema: str, layers: List[str], features: int,
             tag: str) -> Inputs:
    pg_text = pgserver.gdal_connection_text(info)
    src = f"{pg_text} schemas={schema}"
    pgserver.psql(info, f"DROP SCHEMA IF EXISTS {schema} CASCADE; CREATE SCHEMA {schema}")
    for i, table in enumerate(layers):
        first = i * features
        pgserver.psql(info, f"""
            CREATE TABLE {schema}.{table} AS
            SELECT g AS id, 'road ' || g AS name, ((g % 5000) * 0.5)::float8 AS length_m,
                   g % 17 AS category,
                   ST_SetSRID(ST_MakeLine(ARRAY[ST_MakePoint(x, y), ST_MakePoint(x + 0.01, y),
                       ST_MakePoint(x + 0.01, y + 0.01), ST_MakePoint(x + 0.02, y + 0.015)]),
                       4326)::geometry(LineString, 4326) AS geom
            FROM (SELECT g, (g % 3500) / 10.0 - 175 AS x, (g / 3500) % 160 - 80.0 AS y
                  FROM generate_series({first + 1}, {first + features}) g) s;
            ALTER TABLE {schema}.{table} ADD PRIMARY KEY (id);
            CREATE INDEX ON {schema}.{table} USING gist (geom);
            ANALYZE {schema}.{table}""")
    inputs = Inputs(layers, features, schema, work / f"{tag}.gdb", work / f"{tag}_tab",
                    work / f"{tag}_shp")
    for d in (inputs.gdb, inputs.tab, inputs.shp):
        shutil.rmtree(d, ignore_errors=True)
    inputs.tab.mkdir(parents=True)
    inputs.shp.mkdir(parents=True)
    for i, table in enumerate(layers):
        run(["ogr2ogr", *GDB, *(["-update"] if i else []), str(inputs.gdb), src, table])
        run(["ogr2ogr", *TAB, str(inputs.tab / f"{table}.tab"), src, table])
        run(["ogr2ogr", *SHP, str(inputs.shp / f"{table}.shp"), src, table])
    return inputs


def feature_datasets(layers: List[str]) -> Dict[str, List[str]]:
    """The tables split into two feature datasets (one when there is one table)."""
    half = (len(layers) + 1) // 2
    groups = {"network_a": layers[:half], "network_b": layers[half:]}
    return {k: v for k, v in groups.items() if v}


def cases(info, inp: Inputs, work: Path, threads: int, parallel: int) -> Dict[str, Case]:
    """The ten conversions over one set of inputs. `threads` goes to voriviv's three
    modules; `parallel` is how many ogr2ogr processes run at once where layers go to
    separate outputs."""
    pg_text = pgserver.gdal_connection_text(info)
    src_pg = f"{pg_text} schemas={inp.schema}"
    layers, n = inp.layers, inp.features
    out = work / "out"
    o_dir, p_dir = out / "ours", out / "ogr2ogr"
    o_schema, p_schema = "out_ours", "out_ogr2ogr"
    datasets = feature_datasets(layers)
    for module in (gdb_module, tab_module, shp_module):
        module.set_geofileops_threads(threads)

    def counts(side: str, read: Callable[[str], Optional[int]]) -> List[str]:
        problems = []
        for layer in layers:
            got = read(layer)
            if got != n:
                problems.append(f"{side}: {layer} has "
                                f"{'no output' if got is None else got} of {n} features")
        return problems

    def files(ext: str) -> Callable[[str], List[str]]:
        def check(side: str) -> List[str]:
            d = o_dir if side == "ours" else p_dir
            return counts(side, lambda layer: ogr_count(d / f"{layer}.{ext}", layer))
        return check

    def tables(side: str) -> List[str]:
        schema = o_schema if side == "ours" else p_schema
        return counts(side, lambda layer: pg_count(info, schema, layer))

    def gdb_out(side: str) -> Path:
        return (o_dir if side == "ours" else p_dir) / "out.gdb"

    def gdb_check(side: str) -> List[str]:
        return counts(side, lambda layer: ogr_count(gdb_out(side), layer))

    def gdbf_check(side: str) -> List[str]:
        problems = gdb_check(side)
        found = gdb_datasets(gdb_out(side))
        for ds, members in datasets.items():
            for layer in members:
                if found.get(layer) != ds:
                    problems.append(f"{side}: {layer} is in feature dataset "
                                    f"{found.get(layer)!r}, not {ds!r}")
        return problems

    def to_pg(source: Callable[[str], Tuple[Path, str]]) -> Callable[[], None]:
        dest = f"{pg_text} schemas={p_schema}"
        return lambda: xargs([["ogr2ogr", "-f", "PostgreSQL", dest, str(source(t)[0]),
                               source(t)[1], "-nlt", "PROMOTE_TO_MULTI",
                               "-lco", f"SCHEMA={p_schema}", "-lco", "OVERWRITE=YES"]
                              for t in layers], parallel)

    def per_layer(fmt: List[str], ext: str, source: Callable[[str], Tuple[str, str]]
                  ) -> Callable[[], None]:
        return lambda: xargs([["ogr2ogr", *fmt, str(p_dir / f"{t}.{ext}"), *source(t)]
                              for t in layers], parallel)

    def into_gdb(extra: Callable[[str], List[str]]) -> Callable[[], None]:
        target = str(p_dir / "out.gdb")
        return lambda: sequential([["ogr2ogr", *GDB, *(["-update"] if i else []), target,
                                    src_pg, t, *extra(t)] for i, t in enumerate(layers)])

    gdb_src = GeoFileDatabase(inp.gdb)
    tab_src = TabFileDatabase(inp.tab)
    shp_src = ShapefileDatabase(inp.shp)
    dataset_of = {t: ds for ds, members in datasets.items() for t in members}
    both_dirs = (fresh_dir(o_dir), fresh_dir(p_dir))
    both_schemas = (fresh_schema(info, o_schema), fresh_schema(info, p_schema))
    both_gdbs = (gone(o_dir / "out.gdb"), gone(p_dir / "out.gdb"))
    return {
        "gdb2shape": Case("gdb2shape", lambda: gdb_src.gdb2shape(o_dir),
                          per_layer(SHP, "shp", lambda t: (str(inp.gdb), t)),
                          *both_dirs, files("shp")),
        "gdb2pg": Case("gdb2pg", lambda: gdb_src.gdb2pg(info, schema=o_schema, overwrite=True),
                       to_pg(lambda t: (inp.gdb, t)), *both_schemas, tables),
        "shp2pg": Case("shp2pg", lambda: shp_src.shp2pg(info, schema=o_schema, overwrite=True),
                       to_pg(lambda t: (inp.shp / f"{t}.shp", t)), *both_schemas, tables),
        "tab2pg": Case("tab2pg", lambda: tab_src.tab2pg(info, schema=o_schema, overwrite=True),
                       to_pg(lambda t: (inp.tab / f"{t}.tab", t)), *both_schemas, tables),
        "pg2shp": Case("pg2shp", lambda: ShapefileDatabase(o_dir).pg2shp(
                           info, schema=inp.schema, tables=layers),
                       per_layer(SHP, "shp", lambda t: (src_pg, t)), *both_dirs, files("shp")),
        "pg2tab": Case("pg2tab", lambda: TabFileDatabase(o_dir).pg2tab(
                           info, schema=inp.schema, tables=layers),
                       per_layer(TAB, "tab", lambda t: (src_pg, t)), *both_dirs, files("tab")),
        "pg2gdb": Case("pg2gdb", lambda: GeoFileDatabase(o_dir / "out.gdb", "create").pg2gdb(
                           info, schema=inp.schema, tables=layers),
                       into_gdb(lambda t: []), *both_gdbs, gdb_check),
        "pg2gdbf": Case("pg2gdbf", lambda: GeoFileDatabase(o_dir / "out.gdb", "create").pg2gdbf(
                            info, datasets, schema=inp.schema),
                        into_gdb(lambda t: ["-lco", f"FEATURE_DATASET={dataset_of[t]}"]),
                        *both_gdbs, gdbf_check),
        "shp2tab": Case("shp2tab", lambda: shp_src.shp2tab(o_dir),
                        per_layer(TAB, "tab", lambda t: (str(inp.shp / f"{t}.shp"), t)),
                        *both_dirs, files("tab")),
        "tab2shp": Case("tab2shp", lambda: tab_src.tab2shp(o_dir),
                        per_layer(SHP, "shp", lambda t: (str(inp.tab / f"{t}.tab"), t)),
                        *both_dirs, files("shp")),
    }


# -- output ------------------------------------------------------------------------------

def print_table(title: str, rows: List[Row], peer: str = "ogr2ogr") -> None:
    print(f"\n### {title}\n")
    print(f"| conversion | ours s (median) | ours min-max | {peer} s (median) | {peer} min-max "
          f"| ratio ours/{peer} |")
    print("|---|---:|---:|---:|---:|---:|")
    notes = []
    for r in rows:
        def cells(times: List[float]) -> Tuple[str, str]:
            if not times:
                return "-", "-"
            return f"{statistics.median(times):.2f}", f"{min(times):.2f}-{max(times):.2f}"
        o_med, o_rng = cells(r.ours)
        p_med, p_rng = cells(r.peer)
        if r.problems or not r.ours or not r.peer:
            ratio = "**WARNING: not comparable**"
            notes += [f"- {r.name}: {p}" for p in r.problems]
        else:
            ratio = f"{statistics.median(r.ours) / statistics.median(r.peer):.2f}"
        print(f"| {r.name} | {o_med} | {o_rng} | {p_med} | {p_rng} | {ratio} |")
    if notes:
        print("\nWarnings (output incomplete or run failed; no ratio for these rows):")
        print("\n".join(notes))
    warned = [f"{r.name} {r.warnings}" for r in rows if r.warnings]
    if warned:
        print(f"\nGDAL warnings raised by voriviv over all its runs: {', '.join(warned)}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--features", type=int, default=100_000, help="lines per layer")
    ap.add_argument("--threads", type=int, default=2,
                    help="voriviv threads, and ogr2ogr processes at once (xargs -P)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--single-features", type=int, default=200_000,
                    help="lines of the one-layer comparison")
    which = ap.add_mutually_exclusive_group()
    which.add_argument("--single", action="store_true",
                       help="run only the one-layer comparison (1 thread, one ogr2ogr)")
    which.add_argument("--no-single", action="store_true",
                       help="skip the one-layer comparison")
    ap.add_argument("--only", type=lambda s: [x.strip() for x in s.split(",") if x.strip()],
                    default=list(CONVERSIONS), help="comma-separated conversions to run")
    ap.add_argument("--keep", type=Path, help="work directory to use and keep")
    args = ap.parse_args()
    unknown = [c for c in args.only if c not in CONVERSIONS]
    if unknown:
        ap.error(f"unknown conversion(s) {', '.join(unknown)}; choose from {', '.join(CONVERSIONS)}")
    chosen = [c for c in CONVERSIONS if c in args.only]

    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    gdal_version = run(["gdal-config", "--version"]).strip()
    ogr_version = run(["ogr2ogr", "--version"]).strip()

    server = pgserver.server_from_env()
    info = server.start()
    work = args.keep or Path(tempfile.mkdtemp(prefix="bench-every-"))
    work.mkdir(parents=True, exist_ok=True)
    saved = [m.GEOFILEOPS_THREADS for m in (gdb_module, tab_module, shp_module)]
    tables: List[Tuple[str, List[Row]]] = []
    try:
        pg_version = pgserver.psql(info, "SHOW server_version")
        print(f"cores: {os.cpu_count()} ({usable} usable); load average before the run: "
              f"{load_before}")
        print(f"GDAL {gdal_version} (gdal-config), {ogr_version}; PostgreSQL {pg_version}")
        sizes = []
        if not args.single:
            sizes.append(f"{args.layers} layers x {args.features} lines, {args.threads} threads")
        if not args.no_single:
            sizes.append(f"1 layer x {args.single_features} lines, 1 thread")
        print(f"sizes: {'; '.join(sizes)}; {args.repeat} run(s) per side; conversions: "
              f"{', '.join(chosen)}")
        runs = []
        if not args.single:
            runs.append(("many", args.layers, args.features, args.threads, args.threads))
        if not args.no_single:
            runs.append(("one", 1, args.single_features, 1, 1))
        for tag, n_layers, features, threads, parallel in runs:
            schema = "gen" if tag == "many" else "gen_one"
            layers = [f"lines{i}" for i in range(n_layers)] if tag == "many" else ["lines"]
            t0 = time.perf_counter()
            inp = generate(info, work, schema, layers, features, tag)
            print(f"inputs ready in {time.perf_counter() - t0:.1f} s: {n_layers} layer(s) x "
                  f"{features} lines (geodatabase, TAB, Shapefile, PostGIS schema {schema})")
            all_cases = cases(info, inp, work, threads, parallel)
            rows = []
            for name in chosen:
                t0 = time.perf_counter()
                rows.append(measure(all_cases[name], args.repeat))
                print(f"  {name} done in {time.perf_counter() - t0:.1f} s", flush=True)
            if tag == "many":
                title = (f"{n_layers} layers x {features} lines: voriviv {threads} threads vs "
                         f"ogr2ogr per layer, {parallel} at a time (pg2gdb, pg2gdbf: one after "
                         f"another); median of {args.repeat}")
            else:
                title = (f"1 layer x {features} lines: voriviv 1 thread vs one ogr2ogr; "
                         f"median of {args.repeat}")
            tables.append((title, rows))
    finally:
        for m, n in zip((gdb_module, tab_module, shp_module), saved):
            m.set_geofileops_threads(n)
        server.stop()
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)

    print(f"\nload average after the run: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for title, rows in tables:
        print_table(title, rows)


if __name__ == "__main__":
    main()
