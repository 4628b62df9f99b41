"""A throwaway PostgreSQL/PostGIS server for tests, the demo and benchmarks.

``ThrowawayPostgis().start()`` runs ``initdb`` in a fresh temporary directory,
starts ``postgres`` with ``pg_ctl`` on a free loopback port, creates a database
with the ``postgis`` extension and returns its connection information.
``stop()`` shuts the server down and removes the directory.

PostgreSQL refuses to run as root; when this process is root the server
processes run as the ``postgres`` system user.

Setting ``VORIVIV_PG_DSN`` to a libpq keyword string (``host=... port=...
dbname=... user=... password=...``) makes ``server_from_env()`` use that
existing server instead of starting one; the database must have the
``postgis`` extension available.
"""
from __future__ import annotations

import glob
import os
import pwd
import shlex
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Dict, Optional

ENV_VAR = "VORIVIV_PG_DSN"


def _pg_bindir() -> str:
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), reverse=True)
    if candidates:
        return os.path.dirname(candidates[0])
    found = shutil.which("initdb")
    if found:
        return os.path.dirname(found)
    raise RuntimeError("PostgreSQL server binaries (initdb, pg_ctl) not found")


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gdal_connection_text(info: Dict[str, object]) -> str:
    """GDAL PostgreSQL connection text for a connection mapping."""
    return ("PG:host={host} port={port} dbname={dbname} user={user} "
            "password={password}".format(**info))


def libpq_env(info: Dict[str, object]) -> Dict[str, str]:
    """Environment for ``psql`` and friends pointing at the server."""
    env = dict(os.environ)
    env.update(PGHOST=str(info["host"]), PGPORT=str(info["port"]),
               PGDATABASE=str(info["dbname"]), PGUSER=str(info["user"]),
               PGPASSWORD=str(info["password"]))
    return env


def psql(info: Dict[str, object], sql: str) -> str:
    """Run SQL through ``psql`` (unaligned, tuples only) and return stdout."""
    out = subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                          "-c", sql], env=libpq_env(info), check=True,
                         capture_output=True, text=True)
    return out.stdout.strip()


class ThrowawayPostgis:
    """A PostgreSQL cluster in a temporary directory, alive between start() and stop()."""

    def __init__(self, dbname: str = "voriviv", user: str = "voriviv",
                 password: str = "voriviv") -> None:
        self.dbname, self.user, self.password = dbname, user, password
        self.bindir = _pg_bindir()
        self.tmpdir: Optional[str] = None
        self.port: Optional[int] = None

    # -- helpers ---------------------------------------------------------
    def _as_server_user(self, argv):
        if os.geteuid() == 0:
            return ["runuser", "-u", "postgres", "--"] + argv
        return argv

    def _run(self, argv, **kw):
        return subprocess.run(self._as_server_user(argv), check=True,
                              capture_output=True, text=True, **kw)

    @property
    def info(self) -> Dict[str, object]:
        return {"host": "127.0.0.1", "port": self.port, "dbname": self.dbname,
                "user": self.user, "password": self.password}

    # -- lifecycle -------------------------------------------------------
    def start(self) -> Dict[str, object]:
        self.tmpdir = tempfile.mkdtemp(prefix="voriviv-pg-")
        datadir = os.path.join(self.tmpdir, "data")
        pwfile = os.path.join(self.tmpdir, "pw")
        with open(pwfile, "w") as f:
            f.write(self.password + "\n")
        if os.geteuid() == 0:
            pw = pwd.getpwnam("postgres")
            os.chmod(self.tmpdir, 0o700)
            os.chown(self.tmpdir, pw.pw_uid, pw.pw_gid)
            os.chown(pwfile, pw.pw_uid, pw.pw_gid)
        try:
            self._run([os.path.join(self.bindir, "initdb"), "-D", datadir,
                       "-U", self.user, "--pwfile", pwfile, "-A", "scram-sha-256",
                       "-E", "UTF8", "--locale", "C.UTF-8", "--no-sync"])
            with open(os.path.join(datadir, "postgresql.conf"), "a") as f:
                # A throwaway cluster: durability buys nothing here.
                f.write("fsync = off\nsynchronous_commit = off\n"
                        "full_page_writes = off\nmax_connections = 200\n")
            last_error = None
            for _ in range(5):
                self.port = _free_port()
                opts = f"-p {self.port} -k {shlex.quote(self.tmpdir)} -c listen_addresses=127.0.0.1"
                try:
                    self._run([os.path.join(self.bindir, "pg_ctl"), "-D", datadir,
                               "-l", os.path.join(self.tmpdir, "server.log"),
                               "-o", opts, "-w", "-t", "60", "start"])
                    break
                except subprocess.CalledProcessError as exc:  # port taken meanwhile
                    last_error = exc
            else:
                raise RuntimeError(f"could not start PostgreSQL: {last_error.stderr}")
            env = libpq_env(dict(self.info, dbname="postgres"))
            subprocess.run(["psql", "-X", "-q", "-c", f'CREATE DATABASE "{self.dbname}"'],
                           env=env, check=True, capture_output=True)
            psql(self.info, "CREATE EXTENSION postgis")
        except BaseException:
            self.stop()
            raise
        return self.info

    def stop(self) -> None:
        if self.tmpdir is None:
            return
        datadir = os.path.join(self.tmpdir, "data")
        if os.path.exists(os.path.join(datadir, "postmaster.pid")):
            subprocess.run(self._as_server_user(
                [os.path.join(self.bindir, "pg_ctl"), "-D", datadir, "-m", "fast",
                 "-w", "stop"]), capture_output=True)
        shutil.rmtree(self.tmpdir, ignore_errors=True)
        self.tmpdir = None

    def __enter__(self) -> Dict[str, object]:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def parse_dsn(dsn: str) -> Dict[str, object]:
    """Parse a libpq keyword string into a connection mapping."""
    info: Dict[str, object] = {}
    for token in shlex.split(dsn):
        key, _, value = token.partition("=")
        info[key] = value
    info.setdefault("host", "127.0.0.1")
    info.setdefault("port", 5432)
    info.setdefault("password", "")
    for key in ("dbname", "user"):
        if key not in info:
            raise ValueError(f"{ENV_VAR} lacks '{key}'")
    return info


class _ExistingServer:
    def __init__(self, info):
        self.info = info

    def start(self):
        psql(self.info, "CREATE EXTENSION IF NOT EXISTS postgis")
        return self.info

    def stop(self):
        pass


def server_from_env():
    """The server that tests and the demo should use: ``VORIVIV_PG_DSN`` or a throwaway one."""
    dsn = os.environ.get(ENV_VAR)
    if dsn:
        return _ExistingServer(parse_dsn(dsn))
    return ThrowawayPostgis()


if __name__ == "__main__":  # manual check: start, print, stop
    srv = ThrowawayPostgis()
    info = srv.start()
    try:
        print(info)
        print(psql(info, "SELECT postgis_full_version()"))
        time.sleep(0)
    finally:
        srv.stop()
