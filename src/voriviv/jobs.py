"""Job files: many conversions in one run, on this machine or on a Dask cluster.

A job file is TOML with one ``[[job]]`` table per conversion::

    [[job]]
    method = "gdb2pg"
    source = "deliveries/roads.gdb"        # relative paths: from the job file's folder
    target = { env = "PGDSN" }             # the connection, read from the environment
    schema = "roads"
    overwrite = true

    [[job]]
    method = "pg2shp"
    connection = { env = "PGDSN" }         # exports: the database goes in `connection`
    source = "out/roads_shp"               # ... and the output in `source`
    schema = "roads"
    tables = ["streets", "bridges"]

``source`` is always the path the converter object is built on (the
geodatabase, TAB/Shapefile file or directory read by a load or file
conversion; the geodatabase or directory written by an export), so a job
reads like the Python call it stands for. ``target`` is the connection of a
load or the output directory of a file conversion. A connection is a string
(any form the command line takes) or ``{ env = "NAME" }``, the value of an
environment variable, so that no password needs to be written into the file;
whatever the connection leaves out comes from libpq's own ``PGHOST``,
``PGUSER``, ``PGPASSWORD``, ... environment and ``~/.pgpass``.

:func:`load` reads and checks the whole file before anything runs (a bad
entry raises :class:`JobFileError` naming the entry), :func:`run` runs the
jobs and returns a :class:`RunReport`: one job after another on the
converters' own thread pool, or, given a ``dask.distributed`` client, as Dask
tasks of one or a few layers each (see :mod:`voriviv._dask`).
"""
from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from voriviv import _dask
from voriviv.connection import connection_text
from voriviv.conversions import CONVERSIONS, default_threads, list_layers, run_conversion
from voriviv.errors import UsageError
from voriviv.progress import LayerEvent
from voriviv.report import Report, _one_line

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - Python < 3.11
    import tomli as tomllib

__all__ = ["Job", "JobFile", "JobFileError", "RunReport", "load", "loads", "run", "local_cluster",
           "scheduler_address", "METHOD_KEYS"]


class JobFileError(UsageError):
    """A job file that cannot be run; nothing of it has run."""


# The keys each method takes besides `method`, `source` and `name`.
def _method_keys(method: str) -> Tuple[str, ...]:
    conversion = CONVERSIONS[method]
    if conversion.target == "pg":                # loads
        return ("target", "schema", "overwrite", "tables")
    if conversion.source == "pg":                # exports
        if method == "pg2gdbf":
            return ("connection", "feature_mapping", "schema", "mode")
        if method == "pg2gdb":
            return ("connection", "schema", "tables", "mode")
        return ("connection", "schema", "tables", "overwrite")
    if method == "gdb2shape":
        return ("target", "tables")
    return ("target", "tables", "overwrite")    # tab2shp, shp2tab


METHOD_KEYS: Dict[str, Tuple[str, ...]] = {m: _method_keys(m) for m in CONVERSIONS}
_REQUIRED = {"connection", "target", "feature_mapping"}
_MODES = ("update", "append", "overwrite")


@dataclass(frozen=True)
class Job:
    """One conversion of a job file, paths absolute and connections resolved."""

    index: int                       # position in the file, from 0
    method: str
    source: str                      # the path the converter object is built on
    target: Optional[str] = None     # loads: connection; file conversions: output directory
    connection: Optional[str] = None  # exports: the database read
    schema: str = "public"
    overwrite: Optional[bool] = None
    tables: Optional[Tuple[str, ...]] = None
    mode: Optional[str] = None
    feature_mapping: Optional[Dict[str, Tuple[str, ...]]] = None
    name: str = ""

    @property
    def label(self) -> str:
        """How errors name the job: 'job 2 (gdb2pg)'."""
        return f"job {self.index + 1} ({self.method})"

    @property
    def exports(self) -> bool:
        return CONVERSIONS[self.method].source == "pg"

    @property
    def writes_geodatabase(self) -> bool:
        return self.method in ("pg2gdb", "pg2gdbf")

    def command_line(self) -> Tuple[str, str]:
        """(source, target) in the command line's order: what is read, what is written."""
        if self.exports:
            return self.connection or "", self.source
        return self.source, self.target or ""

    def run_kwargs(self) -> Dict[str, Any]:
        """Keywords of :func:`voriviv.conversions.run_conversion` for this job."""
        kw: Dict[str, Any] = {"schema": self.schema, "overwrite": self.overwrite,
                              "mode": self.mode,
                              "tables": list(self.tables) if self.tables is not None else None}
        if self.feature_mapping is not None:
            kw["datasets"] = {k: list(v) for k, v in self.feature_mapping.items()}
        return kw

    def layers(self) -> List[str]:
        """The layers this job's conversion takes, in its order, as they are now:
        the tables of its schema for an export, else those of its source (the
        geodatabase, the TAB files or the Shapefiles), narrowed by ``tables``."""
        if self.exports:
            listing = list_layers(self.connection or "", self.schema, kind="postgresql",
                                  tables=self.tables)
        else:
            listing = list_layers(self.source, kind=CONVERSIONS[self.method].module,
                                  tables=self.tables)
        return [layer["name"] for layer in listing["layers"]]


@dataclass
class JobFile:
    """The checked jobs of one file."""

    path: str
    jobs: List[Job] = field(default_factory=list)

    def __iter__(self) -> Iterator[Job]:
        return iter(self.jobs)

    def __len__(self) -> int:
        return len(self.jobs)


# --- reading and checking ------------------------------------------------------------

def load(path: Union[str, os.PathLike], *, check_paths: bool = True) -> JobFile:
    """Reads and checks a job file; raises :class:`JobFileError` (nothing run).

    Relative paths in the file are taken from the file's own folder. With
    ``check_paths`` the sources of loads and file conversions must exist.
    """
    p = Path(path)
    try:
        text = p.read_text(encoding="utf-8")
    except OSError as e:
        raise JobFileError(f"{path}: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise JobFileError(f"{path}: not UTF-8 text ({e.reason})") from None
    return loads(text, base=p.resolve().parent, name=str(path), check_paths=check_paths)


def loads(text: str, *, base: Union[str, os.PathLike, None] = None, name: str = "<jobs>",
          check_paths: bool = True) -> JobFile:
    """:func:`load` for TOML text; relative paths are taken from ``base`` (default: cwd)."""
    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise JobFileError(f"{name}: not valid TOML: {e}") from None
    base_dir = Path(base) if base is not None else Path.cwd()
    extra = sorted(set(doc) - {"job"})
    if extra:
        raise JobFileError(f"{name}: unknown top-level key {extra[0]!r} "
                           "(a job file holds only [[job]] tables)")
    entries = doc.get("job")
    if not isinstance(entries, list) or not entries:
        raise JobFileError(f"{name}: no [[job]] tables")
    jobs = [_check_entry(i, entry, base_dir, name, check_paths) for i, entry in enumerate(entries)]
    _name_jobs(jobs)
    return JobFile(name, jobs)


def _check_entry(index: int, entry: Any, base: Path, file_name: str, check_paths: bool) -> Job:
    method = entry.get("method") if isinstance(entry, dict) else None
    where = f"{file_name}: job {index + 1}" + (f" ({method})" if isinstance(method, str) else "")

    def fail(problem: str) -> JobFileError:
        return JobFileError(f"{where}: {problem}")

    if not isinstance(entry, dict):
        raise fail("not a table")
    if not isinstance(method, str):
        raise fail("'method' is missing" if method is None else "'method' must be a string")
    if method not in CONVERSIONS:
        raise fail(f"unknown method {method!r} (one of {', '.join(CONVERSIONS)})")
    allowed = METHOD_KEYS[method]
    for key in entry:
        if key in ("method", "source", "name"):
            continue
        if key not in allowed:
            hint = ""
            if key == "target" and "connection" in allowed:
                hint = (": an export reads the database named in 'connection' and writes "
                        "the path in 'source'")
            elif key == "connection" and "target" in allowed:
                hint = ": this method writes to 'target'"
            raise fail(f"unknown key {key!r} (this method takes: "
                       f"{', '.join(('source',) + allowed + ('name',))}){hint}")
    for key in ("source",) + tuple(k for k in allowed if k in _REQUIRED):
        if key not in entry:
            raise fail(f"{key!r} is missing")

    src_kind, dst_kind = CONVERSIONS[method].source, CONVERSIONS[method].target
    source = _path(entry["source"], "source", base, fail)
    if check_paths and src_kind != "pg" and not os.path.exists(source):
        raise fail(f"source not found: {source}")
    values: Dict[str, Any] = {}
    if "target" in allowed:
        values["target"] = (_connection(entry["target"], "target", fail) if dst_kind == "pg"
                            else _path(entry["target"], "target", base, fail))
    if "connection" in allowed:
        values["connection"] = _connection(entry["connection"], "connection", fail)
    if "schema" in entry:
        if not isinstance(entry["schema"], str) or not entry["schema"]:
            raise fail("'schema' must be a non-empty string")
        values["schema"] = entry["schema"]
    if "overwrite" in entry:
        if not isinstance(entry["overwrite"], bool):
            raise fail("'overwrite' must be true or false")
        values["overwrite"] = entry["overwrite"]
    if "tables" in entry:
        values["tables"] = _names(entry["tables"], "'tables'", fail)
    if "mode" in entry:
        if entry["mode"] not in _MODES:
            raise fail(f"'mode' must be one of {', '.join(map(repr, _MODES))}")
        values["mode"] = entry["mode"]
    if "feature_mapping" in entry:
        fm = entry["feature_mapping"]
        if not isinstance(fm, dict) or not fm:
            raise fail("'feature_mapping' must be a table of dataset = [tables]")
        values["feature_mapping"] = {str(k): _names(v, f"feature_mapping.{k}", fail)
                                     for k, v in fm.items()}
    if "name" in entry and (not isinstance(entry["name"], str) or not entry["name"]):
        raise fail("'name' must be a non-empty string")
    return Job(index=index, method=method, source=source, name=entry.get("name", ""), **values)


def _path(value: Any, key: str, base: Path, fail) -> str:
    if not isinstance(value, str) or not value:
        raise fail(f"{key!r} must be a path (a non-empty string)")
    return str(base / Path(value).expanduser())


def _connection(value: Any, key: str, fail) -> str:
    if isinstance(value, dict):
        if set(value) != {"env"} or not isinstance(value["env"], str):
            raise fail(f"{key!r} must be a connection string or {{ env = \"NAME\" }}")
        var = value["env"]
        text = os.environ.get(var)
        if text is None:
            raise fail(f"{key!r}: environment variable {var} is not set")
    elif isinstance(value, str):
        text = value
    else:
        raise fail(f"{key!r} must be a connection string or {{ env = \"NAME\" }}")
    try:
        connection_text(text)
    except UsageError as e:
        # The text may hold a password: name the variable, not the value.
        what = f"environment variable {value['env']}" if isinstance(value, dict) else key
        raise fail(f"{what} is not a PostgreSQL connection (expected PG:..., "
                   "postgresql://... or libpq keywords)") from e
    return text


def _names(value: Any, what: str, fail) -> Tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
        raise fail(f"{what} must be a list of names")
    return tuple(value)


def _name_jobs(jobs: List[Job]) -> None:
    """Display names: given, else the object's file name; made unique with '#n'."""
    names = [j.name or Path(j.source).name or j.source for j in jobs]
    for i, job in enumerate(jobs):
        name = names[i]
        if names.count(name) > 1 and not job.name:
            name = f"{name}#{i + 1}"
        object.__setattr__(job, "name", name)


# --- the report ------------------------------------------------------------------------

class RunReport(Report):
    """The report of a job run: one :class:`~voriviv.report.Report` per job, and totals.

    Calling it is not how it is fed: :meth:`job_event` records an event of
    one job. :meth:`~voriviv.report.Report.records` lists the layers of every job (for the display).
    """

    def __init__(self, jobs: Union[JobFile, Sequence[Job]], *, threads: Optional[int] = None,
                 scheduler: Optional[str] = None,
                 forward: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        path = jobs.path if isinstance(jobs, JobFile) else ""
        super().__init__("run", path, scheduler or "local", threads=threads, forward=forward)
        self.job_list: List[Job] = list(jobs)
        self.scheduler = scheduler
        self.jobs: List[Report] = []
        for job in self.job_list:
            src, dst = job.command_line()
            self.jobs.append(Report(job.method, src, dst, threads=threads,
                                    forward=_JobForward(self, job.index)))
        self._items: Dict[int, int] = {}
        self._job_of: Dict[int, int] = {}

    def start_job(self, job: int) -> None:
        """Marks the moment a job starts: its time is counted from here."""
        self.jobs[job]._start = time.monotonic()

    def job_event(self, job: int, event: LayerEvent) -> None:
        """Records an event of job number ``job`` (and passes it on)."""
        self.jobs[job](event)

    def _recorded(self, job: int, event: LayerEvent) -> None:
        rec = self.layers[(job, event.index)] = self.jobs[job].layers[event.index]
        self._job_of[id(rec)] = job
        self._items[job] = max(self._items.get(job, 0), event.items)
        self.seconds = time.monotonic() - self._start
        if self.forward is not None:
            self.forward(replace(event, items=sum(self._items.values())))

    def header(self) -> str:
        where = (f"on the Dask cluster at {self.scheduler}" if self.scheduler
                 else f"here, {self.threads} threads")
        return f"run {self.source}: {len(self.job_list)} jobs {where}"

    def label(self, rec) -> str:
        """A layer's name on the display: 'job name/layer'."""
        job = self._job_of.get(id(rec))
        return rec.layer if job is None else f"{self.job_list[job].name}/{rec.layer}"

    def finish(self, error: Optional[BaseException] = None) -> str:
        self.seconds = time.monotonic() - self._start
        if isinstance(error, KeyboardInterrupt) or any(j.status == "interrupted"
                                                       for j in self.jobs):
            self.status = "interrupted"
            self.error = "interrupted"
        elif error is not None:
            self.status = "failed"
            self.error = _one_line(error)
        elif any(j.status == "failed" for j in self.jobs):
            self.status = "failed"
        else:
            self.status = "ok"
        return self.status

    def failures(self) -> List[str]:
        """One line per failed layer, and per job that failed without a failed layer."""
        lines = []
        for job, rep in zip(self.job_list, self.jobs):
            for rec in rep.records():
                if rec.status == "failed":
                    lines.append(f"{job.name}: layer {rec.layer} failed: {rec.error}")
            if rep.error and rep.status == "failed":
                lines.append(f"{job.label} {job.name} failed: {rep.error}")
        return lines

    def to_dict(self) -> Dict[str, Any]:
        jobs = []
        for job, rep in zip(self.job_list, self.jobs):
            d = rep.to_dict()
            d.pop("threads", None)
            d["seconds"] = round(rep.seconds, 3)
            jobs.append({"name": job.name, **d})
        return {
            "command": "run",
            "jobs_file": self.source,
            "status": self.status,
            "exit_code": self.exit_code if self.status else None,
            "seconds": round(self.seconds, 3),
            "threads": self.threads,
            "scheduler": self.scheduler,
            "error": self.error,
            "jobs": jobs,
            "features_read": sum(j["features_read"] for j in jobs),
            "features_written": sum(j["features_written"] for j in jobs),
        }


class _JobForward:
    """A job report's forward: registers the layer with the run report."""

    def __init__(self, run: RunReport, job: int) -> None:
        self.run, self.job = run, job

    def __call__(self, event: LayerEvent) -> None:
        self.run._recorded(self.job, event)


# --- running -------------------------------------------------------------------------

def run(jobs: Union[JobFile, Sequence[Job]], client: Any = None, *,
        threads: Optional[int] = None,
        progress: Optional[Callable[[LayerEvent], Any]] = None,
        report: Optional[RunReport] = None) -> RunReport:
    """Runs the jobs and returns the report.

    Without ``client``: one job after another, each with the converters' own
    pool of ``threads`` threads (default: the CPU count). With a
    ``dask.distributed.Client``: as Dask tasks of one or a few layers of one job
    (layers written into one File Geodatabase: one task per geodatabase).
    A failing layer or job is recorded in the report and the others still run;
    ``KeyboardInterrupt`` is re-raised after the report was closed as
    "interrupted" and the running layers were stopped.
    """
    job_list = list(jobs)
    if report is None:
        scheduler = None if client is None else scheduler_address(client)
        report = RunReport(jobs if isinstance(jobs, JobFile) else job_list,
                           threads=(threads or default_threads()) if client is None else None,
                           scheduler=scheduler, forward=progress)
    if client is not None:
        return _dask.run(job_list, client, report)
    threads = threads or default_threads()
    try:
        for job, job_report in zip(job_list, report.jobs):
            source, target = job.command_line()
            report.start_job(job.index)
            try:
                run_conversion(job.method, source, target, threads=threads, report=job_report,
                               **job.run_kwargs())
            except UsageError as e:
                # run_conversion's own checks (a source removed since the file was read).
                job_report.finish(e)
    except KeyboardInterrupt as e:
        report.finish(e)
        raise
    report.finish(None)
    return report


def local_cluster(n_workers: int):
    """(cluster, client): a ``dask.distributed.LocalCluster`` of ``n_workers``
    single-threaded worker processes, as ``voriviv run --local-cluster`` starts it.
    Close both when done (``client.close(); cluster.close()``)."""
    return _dask.start_local_cluster(n_workers)


def scheduler_address(client: Any) -> str:
    """The address of a Dask client's scheduler, as a run report names it."""
    try:
        return str(client.scheduler.address)
    except Exception:  # noqa: BLE001
        return "dask"
