"""Real faults for the safety tests: a backend terminated from a second
session, a damaged source file, a server stopped, a full file system."""
from __future__ import annotations

import hashlib
import subprocess
import threading
import time
from pathlib import Path

import pgserver
from conftest import ogr2ogr


def table_digest(psql, schema: str, table: str) -> str:
    """Row count, columns and an md5 over every row's text (geometry as hex)."""
    return psql(
        f"SELECT count(*) || ':' || coalesce(md5(string_agg(t::text, '|' ORDER BY t::text)), '') "
        f"|| ':' || (SELECT string_agg(attname || ' ' || format_type(atttypid, atttypmod), ',' "
        f"ORDER BY attnum) FROM pg_attribute WHERE attrelid = '{schema}.\"{table}\"'::regclass "
        f"AND attnum > 0 AND NOT attisdropped) FROM {schema}.\"{table}\" t")


def leftover_tables(psql) -> str:
    return psql("SELECT string_agg(relname, ',') FROM pg_class WHERE relname LIKE 'vv\\_tmp\\_%'")


def tree_digest(path: Path) -> dict:
    """Relative file name -> sha1 of the content, for everything under path."""
    return {str(p.relative_to(path)): hashlib.sha1(p.read_bytes()).hexdigest()
            for p in sorted(path.rglob("*")) if p.is_file()}


def temp_entries(directory: Path) -> list:
    return [p.name for p in directory.iterdir() if p.name.startswith(".vv_tmp_")]


def big_table(psql, schema: str, table: str = "big", n: int = 300_000) -> None:
    """<schema>.<table> with n points (id, label, geom in EPSG:4326)."""
    psql(f"CREATE TABLE {schema}.{table} AS SELECT g AS id, 'label' || g AS lbl, "
         f"ST_SetSRID(ST_MakePoint(g % 360 - 180, g % 90), 4326)::geometry(Point, 4326) AS geom "
         f"FROM generate_series(1, {n}) g")


def big_shapefile(info, directory: Path, n: int = 300_000) -> Path:
    """A Shapefile of n points, written by ogr2ogr from a scratch schema of the
    server that is dropped again."""
    sql = lambda q: pgserver.psql(info, q)  # noqa: E731
    sql("DROP SCHEMA IF EXISTS vv_safety CASCADE; CREATE SCHEMA vv_safety")
    try:
        big_table(sql, "vv_safety", "big_src", n)
        out = directory / "big.shp"
        ogr2ogr(str(out), pgserver.gdal_connection_text(info), "vv_safety.big_src", "-nln", "big")
    finally:
        sql("DROP SCHEMA vv_safety CASCADE")
    return out


def damage(shp: Path, at: int = 2_000_000) -> None:
    """Cuts the .shp file short: reading past `at` bytes fails."""
    with open(shp, "r+b") as f:
        f.truncate(at)


class Terminator(threading.Thread):
    """From a second session, terminates the first backend whose query
    matches `pattern` (SQL LIKE, case-insensitive) as soon as it shows up."""

    def __init__(self, info, pattern: str, timeout: float = 30.0):
        super().__init__(daemon=True)
        self.info, self.pattern, self.timeout = info, pattern, timeout
        self.killed = False

    def run(self):
        end = time.monotonic() + self.timeout
        while time.monotonic() < end and not self.killed:
            try:
                out = pgserver.psql(
                    self.info, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                    f"pid <> pg_backend_pid() AND query ILIKE '{self.pattern}'")
            except subprocess.CalledProcessError:
                continue
            self.killed = "t" in out.split()
            time.sleep(0.05)


def stop_immediately(server) -> None:
    """Stops a ThrowawayPostgis the hard way (no shutdown checkpoint)."""
    datadir = f"{server.tmpdir}/data"
    subprocess.run(server._as_server_user([f"{server.bindir}/pg_ctl", "-D", datadir, "-m",
                                           "immediate", "-w", "stop"]), capture_output=True)


def restart(server) -> None:
    datadir = f"{server.tmpdir}/data"
    opts = f"-p {server.port} -k {server.tmpdir} -c listen_addresses=127.0.0.1"
    server._run([f"{server.bindir}/pg_ctl", "-D", datadir, "-l", f"{server.tmpdir}/server.log",
                 "-o", opts, "-w", "-t", "60", "start"])
