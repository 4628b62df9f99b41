"""Benchmarks of the TAB and Shapefile converters against their peers.

Prints, for each comparison, the best of a few runs of both sides and their
ratio; nothing is asserted. Comparisons:

- tab2shp, 1 thread, against ogr2ogr run once per layer in sequence;
- tab2shp and shp2tab, 2 threads against 1;
- tab2pg, 2 threads, against `xargs -P2` running ogr2ogr once per layer;
- shp2pg, 2 threads, against `xargs -P2` ogr2ogr per file and against
  PostGIS's own `shp2pgsql | psql`, also two at a time.

The inputs are generated: 8 TAB layers of 50,000 lines each, and 8
Shapefiles of 100,000 lines each next to the Natural Earth countries (pop_est
cast to integer, so it loads) and cities. A throwaway PostGIS server is
started unless VORIVIV_PG_DSN names one.

    .venv/bin/python bench/bench_files.py [--repeat N] [--keep DIR] [--only pg]
"""
from __future__ import annotations

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

from pathlib import Path
from typing import Callable, Dict, List, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
DATA = ROOT.parent / "shared" / "data" / "naturalearth"

import pgserver  # noqa: E402
import voriviv.geofileops.shp as shp_module  # noqa: E402
import voriviv.geofileops.tab as tab_module  # noqa: E402
from voriviv.geofileops.shp import ShapefileDatabase  # noqa: E402
from voriviv.geofileops.tab import TabFileDatabase  # noqa: E402

N_LAYERS = 8
TAB_FEATURES = 50_000
SHP_FEATURES = 100_000
COUNTRIES_SQL = ("SELECT CAST(pop_est AS integer(20)) AS pop_est, continent, name, iso_a3, "
                 "CAST(gdp_md_est AS integer(20)) AS gdp_md_est FROM naturalearth_lowres")


def run(argv: List[str], **kw) -> None:
    subprocess.run(argv, check=True, capture_output=True, **kw)


def compare(ours: Callable[[], None], peer: Callable[[], None], repeat: int,
            before_ours: Callable[[], None] = lambda: None,
            before_peer: Callable[[], None] = lambda: None) -> Tuple[float, float]:
    """Best wall times of `repeat` runs of each side, run alternately so that a
    change in the machine's load affects both; `before_*` run untimed."""
    times: Tuple[List[float], List[float]] = ([], [])
    for _ in range(repeat):
        for fn, before, out in ((ours, before_ours, times[0]), (peer, before_peer, times[1])):
            before()
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


def fresh_dir(path: Path) -> Callable[[], None]:
    def reset() -> None:
        shutil.rmtree(path, ignore_errors=True)
        path.mkdir(parents=True)
    return reset


def generate_lines(info: Dict[str, object], table: str, n: int) -> None:
    """gen.<table>: n four-vertex lines with four attributes, EPSG:4326."""
    pgserver.psql(info, f"""
        CREATE SCHEMA IF NOT EXISTS gen;
        DROP TABLE IF EXISTS gen.{table};
        CREATE TABLE gen.{table} AS
        SELECT g AS id, 'road ' || g AS name, ((g % 5000) * 0.5)::float8 AS length_m, g % 17 AS category,
               ST_SetSRID(ST_MakeLine(ARRAY[ST_MakePoint(x, y), ST_MakePoint(x + 0.01, y),
                   ST_MakePoint(x + 0.01, y + 0.01), ST_MakePoint(x + 0.02, y + 0.015)]),
                   4326)::geometry(LineString, 4326) AS geom
        FROM (SELECT g, (g % 3500) / 10.0 - 175 AS x, (g / 3500) % 160 - 80.0 AS y
              FROM generate_series(1, {n}) g) s""")


def prepare(info: Dict[str, object], work: Path) -> Dict[str, Path]:
    pg_text = pgserver.gdal_connection_text(info)
    tab_dir, shp_dir = work / "tab", work / "shp"
    tab_dir.mkdir(parents=True)
    shp_dir.mkdir(parents=True)
    generate_lines(info, "l50k", TAB_FEATURES)
    generate_lines(info, "l100k", SHP_FEATURES)
    for i in range(N_LAYERS):
        run(["ogr2ogr", "-f", "MapInfo File", str(tab_dir / f"layer{i}.tab"), pg_text,
             "gen.l50k"])
        run(["ogr2ogr", "-f", "ESRI Shapefile", str(shp_dir / f"lines{i}.shp"), pg_text,
             "gen.l100k"])
    for f in DATA.glob("naturalearth_cities.*"):
        shutil.copy(f, shp_dir)
    run(["ogr2ogr", "-f", "ESRI Shapefile", str(shp_dir / "countries.shp"),
         str(DATA / "naturalearth_lowres.shp"), "-sql", COUNTRIES_SQL])
    return {"tab": tab_dir, "shp": shp_dir}


def reset_schema(info: Dict[str, object], schema: str) -> Callable[[], None]:
    return lambda: pgserver.psql(info, f"DROP SCHEMA IF EXISTS {schema} CASCADE; "
                                       f"CREATE SCHEMA {schema}")


def xargs(commands: List[str], parallel: int, env=None) -> None:
    """Runs shell commands `parallel` at a time through xargs."""
    subprocess.run(["xargs", "-P", str(parallel), "-d", "\n", "-n", "1", "sh", "-c"],
                   input="\n".join(commands), text=True, check=True, capture_output=True, env=env)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--keep", type=Path, help="work directory to use and keep")
    parser.add_argument("--only", choices=["pg"], help="run the PostgreSQL loads only")
    args = parser.parse_args()
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())

    server = pgserver.server_from_env()
    info = server.start()
    work = args.keep or Path(tempfile.mkdtemp(prefix="bench-files-"))
    saved = (tab_module.GEOFILEOPS_THREADS, shp_module.GEOFILEOPS_THREADS)
    rows = []
    try:
        t0 = time.perf_counter()
        dirs = prepare(info, work)
        print(f"inputs ready in {time.perf_counter() - t0:.1f} s: {N_LAYERS} TAB layers x "
              f"{TAB_FEATURES} lines, {N_LAYERS} Shapefiles x {SHP_FEATURES} lines + Natural "
              f"Earth countries (177) and cities (243); {os.cpu_count()} cores; best of "
              f"{args.repeat}; load average before the run: {load_before}")
        pg_text = pgserver.gdal_connection_text(info)
        tab_files = sorted(dirs["tab"].glob("*.tab"))
        shp_files = sorted(dirs["shp"].glob("*.shp"))
        tab = TabFileDatabase(dirs["tab"])
        shp = ShapefileDatabase(dirs["shp"])

        # tab2shp: 1 thread against ogr2ogr per layer in sequence; 2 threads against 1.
        out_ours, out_ogr = work / "out_tab2shp", work / "out_ogr"

        def ogr_sequential() -> None:
            for f in tab_files:
                run(["ogr2ogr", "-f", "ESRI Shapefile", str(out_ogr / (f.stem + ".shp")),
                     str(f), f.stem])

        def tab2shp(threads: int) -> Callable[[], None]:
            def go() -> None:
                tab_module.set_geofileops_threads(threads)
                tab.tab2shp(out_ours)
            return go

        if args.only != "pg":
            t_ours1, t_ogr = compare(tab2shp(1), ogr_sequential, args.repeat,
                                     fresh_dir(out_ours), fresh_dir(out_ogr))
            t_ours2, t_ours1b = compare(tab2shp(2), tab2shp(1), args.repeat,
                                        fresh_dir(out_ours), fresh_dir(out_ours))
            rows.append(("tab2shp 1 thread vs ogr2ogr per layer, sequential", t_ours1, t_ogr,
                         t_ours1 / t_ogr, "time ratio, target <= 1.05"))
            rows.append(("tab2shp 2 threads vs 1 thread", t_ours2, t_ours1b, t_ours1b / t_ours2,
                         "speed-up, target >= 1.6"))

        # tab2pg: 2 threads against xargs -P2 ogr2ogr, same translation options.
        def ogr_to_pg(files: List[Path], schema: str) -> List[str]:
            dest = f"{pg_text} schemas={schema}"
            return [shlex.join(["ogr2ogr", "-f", "PostgreSQL", dest, str(f), f.stem,
                                "-nlt", "PROMOTE_TO_MULTI", "-lco", f"SCHEMA={schema}",
                                "-lco", "OVERWRITE=YES"]) for f in files]

        tab_module.set_geofileops_threads(2)
        t_ours, t_xargs = compare(
            lambda: tab.tab2pg(info, schema="bench_ours", overwrite=True),
            lambda: xargs(ogr_to_pg(tab_files, "bench_ogr"), 2), args.repeat,
            reset_schema(info, "bench_ours"), reset_schema(info, "bench_ogr"))
        rows.append(("tab2pg 2 threads vs xargs -P2 ogr2ogr", t_ours, t_xargs, t_ours / t_xargs,
                     "time ratio, printed"))

        # shp2pg: 2 threads against xargs -P2 ogr2ogr and against shp2pgsql | psql.
        def shp2pg() -> None:
            shp_module.set_geofileops_threads(2)
            shp.shp2pg(info, schema="bench_ours", overwrite=True)

        t_ours, t_xargs = compare(shp2pg, lambda: xargs(ogr_to_pg(shp_files, "bench_ogr"), 2),
                                  args.repeat, reset_schema(info, "bench_ours"),
                                  reset_schema(info, "bench_ogr"))
        loader = [f"shp2pgsql -D -I -s 4326 -W UTF-8 {shlex.quote(str(f))} "
                  f"bench_loader.{f.stem.lower()} | psql -X -q -v ON_ERROR_STOP=1 >/dev/null"
                  for f in shp_files]
        env = pgserver.libpq_env(info)
        t_ours_b, t_loader = compare(shp2pg, lambda: xargs(loader, 2, env), args.repeat,
                                     reset_schema(info, "bench_ours"),
                                     reset_schema(info, "bench_loader"))
        rows.append(("shp2pg 2 threads vs xargs -P2 ogr2ogr", t_ours, t_xargs, t_ours / t_xargs,
                     "time ratio, printed"))
        rows.append(("shp2pg 2 threads vs xargs -P2 shp2pgsql | psql", t_ours_b, t_loader,
                     t_ours_b / t_loader, "time ratio, target <= 0.7"))

        # shp2tab: 2 threads against 1.
        out_tab = work / "out_shp2tab"

        def shp2tab(threads: int) -> Callable[[], None]:
            def go() -> None:
                shp_module.set_geofileops_threads(threads)
                shp.shp2tab(out_tab)
            return go

        if args.only != "pg":
            t2, t1 = compare(shp2tab(2), shp2tab(1), args.repeat, fresh_dir(out_tab),
                             fresh_dir(out_tab))
            rows.append(("shp2tab 2 threads vs 1 thread", t2, t1, t1 / t2,
                         "speed-up, target >= 1.6"))
    finally:
        tab_module.GEOFILEOPS_THREADS, shp_module.GEOFILEOPS_THREADS = saved
        server.stop()
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)

    print()
    print(f"| {'comparison':<50} | {'ours s':>7} | {'peer s':>7} | {'ratio':>6} | meaning |")
    print(f"|{'-' * 52}|{'-' * 9}|{'-' * 9}|{'-' * 8}|---------|")
    for name, ours, peer, ratio, meaning in rows:
        print(f"| {name:<50} | {ours:7.2f} | {peer:7.2f} | {ratio:6.2f} | {meaning} |")


if __name__ == "__main__":
    main()
