"""The ``voriviv`` command: every conversion from a shell, with live progress.

::

    voriviv gdb2pg roads.gdb "PG:host=db dbname=gis user=etl" --schema roads --overwrite
    voriviv pg2gdb postgresql://etl@db/gis out.gdb --schema roads --tables a,b
    voriviv layers roads.gdb
    voriviv verify roads.gdb "PG:host=db dbname=gis user=etl" --schema roads

Built on the standard library's ``argparse``: the package then needs nothing
beyond its own native modules, and argparse already gives subcommands,
``--help`` for each and the conventional exit status 2 for usage errors. The
live display is a few lines of ANSI text redrawn in place (no progress
library needed for one line per running layer and a total).

Exit status: 0 every layer arrived, 1 some layer failed (the others still
ran), the conversion could not start or (``verify``, ``--verify``) a layer
differs from its source, 2 usage error, 130 interrupted.
Errors are printed as one line each; ``--debug`` adds tracebacks and the
``voriviv`` log (DEBUG level) on stderr.

For programs: :func:`main` runs a command line and returns its exit status,
and :class:`LiveDisplay` is the terminal display as a progress callable. The
command stands on :mod:`voriviv.jobs` (job files) and
:mod:`voriviv.conversions` (:func:`~voriviv.conversions.run_conversion`,
:func:`~voriviv.conversions.list_layers`),
whose names it also offers.
"""
from __future__ import annotations

import argparse
import json
import logging
import shutil
import sys
import time
import traceback
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO

from voriviv import __version__, _dask, jobs, verify
from voriviv.connection import connection_text
from voriviv.conversions import (CONVERSIONS, DESCRIPTIONS, default_threads, list_layers,
                                 run_conversion)
from voriviv.errors import UsageError
from voriviv.progress import LayerEvent
from voriviv.report import Report, _one_line, mask_secrets

# run_conversion, connection_text, list_layers, UsageError and CONVERSIONS live
# in the modules below and are named here too, as they always were.
__all__ = ["main", "run_conversion", "connection_text", "list_layers", "LiveDisplay",
           "UsageError", "CONVERSIONS"]

PROG = "voriviv"


# --- the terminal display ------------------------------------------------------

def _count(n: Optional[int]) -> str:
    return "?" if n is None else f"{n:,}"


class LiveDisplay:
    """One live line per running layer and a total, redrawn in place on a terminal.

    Use it as the ``forward`` of a :class:`~voriviv.report.Report` (it reads the report's
    records). Completed layers are printed once, above the live lines.
    """

    BAR = 20

    def __init__(self, report: Report, stream: TextIO = sys.stderr,
                 min_interval: float = 0.1) -> None:
        self.report = report
        self.stream = stream
        self.min_interval = min_interval
        self._drawn = 0
        self._last = 0.0
        self._items = 0
        self._printed: set = set()
        self._header = False
        # How a layer is named on screen (a job run prefixes the job's name).
        self._label: Callable[[Any], str] = getattr(report, "label", lambda rec: rec.layer)

    def __call__(self, event: LayerEvent) -> None:
        self._items = max(self._items, event.items)
        now = time.monotonic()
        if event.kind == "progress" and now - self._last < self.min_interval:
            return
        self._last = now
        self.redraw()

    def _width(self) -> int:
        return max(40, shutil.get_terminal_size((100, 24)).columns) - 1

    def _fit(self, line: str) -> str:
        w = self._width()
        return line if len(line) <= w else line[: w - 1] + "~"

    def _name_width(self) -> int:
        names = [len(self._label(r)) for r in self.report.records()]
        return min(28, max(names + [5]))

    def _layer_line(self, rec) -> str:
        name = self._label(rec).ljust(self._name_width())
        frac = rec.fraction
        if frac is None:
            bar = "[" + "." * self.BAR + "]"
            pct = "    "
        else:
            filled = int(round(frac * self.BAR))
            bar = "[" + "#" * filled + "-" * (self.BAR - filled) + "]"
            pct = f"{int(frac * 100):3d}%"
        return (f"  {name} {bar} {pct} {_count(rec.features_read):>10}/{_count(rec.total):<10}"
                f" {rec.seconds:6.1f} s")

    def _done_line(self, rec) -> str:
        name = self._label(rec).ljust(self._name_width())
        if rec.status == "failed":
            return f"  {name} FAILED after {rec.seconds:.1f} s: {rec.error}"
        warn = f"  ({len(rec.warnings)} GDAL warnings)" if rec.warnings else ""
        return (f"  {name} done   {_count(rec.features_written):>10} features "
                f"{rec.seconds:6.1f} s  -> {rec.target}{warn}")

    def total_line(self) -> str:
        recs = self.report.records()
        done = sum(1 for r in recs if r.status != "running")
        failed = sum(1 for r in recs if r.status == "failed")
        items = max(self._items, len(recs))
        feats = f"{sum(r.features_read for r in recs):,}"
        totals = [r.total if r.status == "running" else r.features_read for r in recs]
        if len(recs) == items and None not in totals and done < items:
            feats += f"/{sum(totals):,}"
        fail = f", {failed} failed" if failed else ""
        return (f"  total: {done}/{items} layers{fail}, {feats} features, "
                f"{self.report.seconds if self.report.status else self._elapsed():.1f} s")

    def _elapsed(self) -> float:
        return time.monotonic() - self.report._start

    def redraw(self, final: bool = False) -> None:
        out: List[str] = []
        if not self._header:
            self._header = True
            out.append(self._fit(header_line(self.report)) + "\n")
        if self._drawn:
            out.append(f"\r\x1b[{self._drawn}A\x1b[J")
        for rec in self.report.records():
            if rec.status != "running" and id(rec) not in self._printed:
                self._printed.add(id(rec))
                out.append(self._fit(self._done_line(rec)) + "\n")
        live = [] if final else [self._layer_line(r) for r in self.report.running()]
        live.append(self.total_line())
        out.extend(self._fit(line) + "\n" for line in live)
        self._drawn = 0 if final else len(live)
        self.stream.write("".join(out))
        self.stream.flush()

    def close(self) -> None:
        """Final redraw: completed layers and the total (nothing if no layer ever started)."""
        if self._header:
            self.redraw(final=True)


def header_line(report: Report) -> str:
    """What runs: the command, source and target (passwords masked), threads."""
    if hasattr(report, "header"):
        return report.header()
    return (f"{report.command} {mask_secrets(report.source)} -> {mask_secrets(report.target)}"
            f" ({report.threads} threads)")


def _summary(report: Report, stream: TextIO) -> None:
    """The plain end-of-run table (stdout, or when no live display ran)."""
    display = LiveDisplay(report, stream)
    stream.write(header_line(report) + "\n")
    for rec in report.records():
        stream.write(display._done_line(rec) + "\n")
    stream.write(display.total_line() + "\n")


# --- argument parsing ------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, exit status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _split_list(text: str) -> List[str]:
    return [t for t in (s.strip() for s in text.split(",")) if t]


def _dataset(text: str) -> tuple:
    name, sep, tables = text.partition("=")
    if not sep or not name or not _split_list(tables):
        raise argparse.ArgumentTypeError(f"expected NAME=table,table, got {text!r}")
    return name, _split_list(tables)


def _positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return n


def _schema_option(p: argparse.ArgumentParser, help: str = "PostgreSQL schema (public)") -> None:
    p.add_argument("--schema", default="public", help=help)


def _tables_option(p: argparse.ArgumentParser,
                   help: str = "only these layers/tables (file stems for TAB/Shapefile)") -> None:
    p.add_argument("--tables", type=_split_list, metavar="A,B", help=help)


def _threads_option(p: argparse.ArgumentParser, help: str = "worker threads") -> None:
    p.add_argument("--threads", type=_positive, metavar="N",
                   help=f"{help} (default: {default_threads()}, the CPU count)")


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true",
                        help="print a machine-readable report on stdout")
    common.add_argument("--quiet", action="store_true", help="no live progress display")
    common.add_argument("--debug", action="store_true",
                        help="tracebacks and the voriviv log (DEBUG) on stderr")

    parser = _Parser(prog=PROG, description="Parallel GDAL conversions between File "
                     "Geodatabases, PostgreSQL/PostGIS, MapInfo TAB files and Shapefiles.",
                     epilog="CONNECTION: GDAL's PG:... text, a postgresql://user@host/db URL "
                     "or libpq keywords; missing parts come from PGHOST, PGPORT, PGDATABASE, "
                     "PGUSER, PGPASSWORD. Exit status: 0 all layers arrived, 1 some layer "
                     "failed, 2 usage error, 130 interrupted.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    for command, (_, _, src_kind, dst_kind) in CONVERSIONS.items():
        p = sub.add_parser(command, parents=[common], help=DESCRIPTIONS[command],
                           description=DESCRIPTIONS[command])
        p.add_argument("source", metavar="CONNECTION" if src_kind == "pg" else "SOURCE")
        p.add_argument("target", metavar="CONNECTION" if dst_kind == "pg" else
                       ("OUTPUT_DIR" if dst_kind == "dir" else "TARGET.gdb"))
        if "pg" in (src_kind, dst_kind):
            _schema_option(p)
        if command != "pg2gdbf":
            _tables_option(p)
        if dst_kind == "pg":
            p.add_argument("--overwrite", action="store_true",
                           help="replace existing tables (otherwise such a layer fails)")
        elif dst_kind == "dir" and command != "gdb2shape":
            p.add_argument("--no-overwrite", dest="overwrite", action="store_false",
                           default=None, help="keep earlier files of the same layer")
        if command in ("pg2gdb", "pg2gdbf"):
            p.add_argument("--mode", choices=("update", "append", "overwrite"),
                           help="add to an existing geodatabase (default: replace it)")
        if command == "pg2gdbf":
            p.add_argument("--dataset", type=_dataset, action="append", required=True,
                           metavar="NAME=T1,T2", help="feature dataset and its tables "
                           "(repeatable)")
        _threads_option(p)
        p.add_argument("--verify", action="store_true",
                       help="then read every layer back and compare it with its source "
                            "(exit status 1 when one differs)")

    p = sub.add_parser("verify", parents=[common],
                       help="Compare a conversion's target with its source, value by value.",
                       description="Read each layer of SOURCE beside the layer a conversion "
                       "made of it in TARGET and compare feature count, every field value and "
                       "every geometry. One line per layer: identical, equal up to the format "
                       "(the differences the target format forces, counted) or differs (the "
                       "first differences, named by feature and field). Exit status 0 when no "
                       "layer differs, 1 when one does.")
    p.add_argument("source", metavar="SOURCE", help="a path or a CONNECTION")
    p.add_argument("target", metavar="TARGET", help="a path or a CONNECTION")
    _schema_option(p, "PostgreSQL schema of the side that is a database (public)")
    _tables_option(p, "only these source layers/tables (file stems for TAB/Shapefile)")
    _threads_option(p)

    p = sub.add_parser("run", parents=[common],
                       help="Run the conversions of a job file, here or on a Dask cluster.",
                       description="Run every [[job]] of a TOML job file: here, one job after "
                       "another on the converters' thread pool, or on a Dask cluster, one "
                       "layer per task. The whole file is checked before anything runs.")
    p.add_argument("jobs", metavar="JOBS.toml")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler (tcp://host:8786)")
    where.add_argument("--local-cluster", type=_positive, metavar="N",
                       help="run on a Dask LocalCluster of N single-threaded worker processes")
    _threads_option(p, "worker threads of a run here")

    p = sub.add_parser("layers", parents=[common],
                       help="List the layers of a geodatabase, a TAB/Shapefile directory or a "
                            "PostgreSQL schema.",
                       description="List the layers of a File Geodatabase, a directory (or "
                                   "file) of TAB files and Shapefiles, or a PostgreSQL schema.")
    p.add_argument("location", metavar="LOCATION", help="a path or a CONNECTION")
    _schema_option(p)
    return parser


# --- main --------------------------------------------------------------------------

def _err(message: str) -> None:
    sys.stderr.write(f"{PROG}: {message}\n")
    sys.stderr.flush()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs a ``voriviv`` command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.debug:
        logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                            format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    else:
        # GDAL's warnings are kept per layer in the report; printed as Python
        # warnings they would tear the live display apart.
        warnings.simplefilter("ignore", RuntimeWarning)
    try:
        if args.command == "layers":
            return _layers_command(args)
        if args.command == "run":
            return _run_command(args)
        if args.command == "verify":
            return _verify_command(args)
        return _conversion_command(args)
    except UsageError as e:
        if args.debug:
            traceback.print_exc()
        _err(f"error: {e}")
        return 2
    except KeyboardInterrupt:
        _err("interrupted")
        return 130


def _layers_command(args) -> int:
    try:
        listing = list_layers(args.location, args.schema)
    except UsageError:
        raise
    except Exception as e:  # noqa: BLE001
        if args.debug:
            traceback.print_exc()
        _err(f"error: {_first_line(e)}")
        return 1
    if args.json:
        print(json.dumps(listing, indent=2, ensure_ascii=False))
    else:
        for layer in listing["layers"]:
            print(layer["name"])
    return 0


def _first_line(e: BaseException) -> str:
    return _one_line(e) or type(e).__name__


def _conversion_command(args) -> int:
    kwargs: Dict[str, Any] = dict(
        schema=getattr(args, "schema", "public"), tables=getattr(args, "tables", None),
        overwrite=getattr(args, "overwrite", None), mode=getattr(args, "mode", None),
        threads=args.threads)
    if args.command == "pg2gdbf":
        kwargs["datasets"] = {}
        for name, tables in args.dataset:
            kwargs["datasets"].setdefault(name, []).extend(tables)
    threads = args.threads or default_threads()
    report = Report(args.command, args.source, args.target, threads=threads)
    live = None
    if not args.quiet and not args.debug and sys.stderr.isatty():
        live = LiveDisplay(report, sys.stderr)
        report.forward = live
    interrupted = False
    try:
        run_conversion(args.command, args.source, args.target, report=report, **kwargs)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        if live is not None and report.status is not None:
            live.close()
    if args.debug and getattr(report, "exception", None) is not None:
        traceback.print_exception(type(report.exception), report.exception,
                                  report.exception.__traceback__)
    # --verify: every layer read back and compared with its source, once all arrived.
    checked = _verify_conversion(args) if args.verify and report.status == "ok" else None
    if args.json:
        doc = report.to_dict()
        if checked is not None:
            doc["verify"] = checked.to_dict()
        print(json.dumps(doc, indent=2, ensure_ascii=False))
    elif live is None:
        _summary(report, sys.stdout)
    for rec in report.records():
        if rec.status == "failed":
            _err(f"layer {rec.layer} failed: {rec.error}")
    if interrupted:
        _err("interrupted")
    elif report.error:
        _err(f"error: {report.error}")
    if checked is not None:
        if not args.json and not args.quiet:
            print("\n".join(checked.lines()))
        for check in checked.layers:
            if check.status == verify.DIFFERS:
                _err(f"layer {check.layer} differs from its source")
        return max(report.exit_code, checked.exit_code)
    return report.exit_code


# What verify is told the locations of a conversion are.
_VERIFY_KINDS = {"gdb": "gdb", "pg": "postgresql", "tab": "tab", "shp": "shp", "shape": "shp",
                 "gdbf": "gdb"}


def _verify_conversion(args) -> "verify.VerifyReport":
    """After a conversion: its target read back and compared with its source."""
    src_word, _, dst_word = args.command.partition("2")
    tables = getattr(args, "tables", None)
    if args.command == "pg2gdbf":
        tables = [t for _, ts in args.dataset for t in ts]
    return verify.verify(args.source, args.target, schema=getattr(args, "schema", None),
                         tables=tables, threads=args.threads,
                         source_kind=_VERIFY_KINDS[src_word], target_kind=_VERIFY_KINDS[dst_word])


def _verify_command(args) -> int:
    checked = verify.verify(args.source, args.target, schema=args.schema, tables=args.tables,
                            threads=args.threads)
    if args.json:
        print(checked.to_json())
    elif not args.quiet:
        print("\n".join(checked.lines()))
    else:
        for check in checked.layers:
            if check.status == verify.DIFFERS:
                print(check.line())
    return checked.exit_code


def _run_command(args) -> int:
    if args.threads and (args.scheduler or args.local_cluster):
        raise UsageError("--threads is for runs on this machine; on Dask each worker "
                         "thread runs one layer at a time")
    job_file = jobs.load(args.jobs)
    client = cluster = None
    if args.scheduler or args.local_cluster:
        try:
            distributed = _dask.require_distributed()
        except ImportError as e:
            raise UsageError(str(e)) from None
        try:
            if args.local_cluster:
                cluster, client = _dask.start_local_cluster(args.local_cluster)
            else:
                client = distributed.Client(args.scheduler, timeout="20s")
        except (OSError, ValueError, TimeoutError) as e:
            if args.debug:
                traceback.print_exc()
            _err(f"error: cannot reach the Dask scheduler {args.scheduler}: {_first_line(e)}"
                 if args.scheduler else f"error: cannot start a LocalCluster: {_first_line(e)}")
            return 1
    try:
        threads = None if client is not None else (args.threads or default_threads())
        report = jobs.RunReport(job_file, threads=threads,
                                scheduler=None if client is None else
                                jobs.scheduler_address(client))
        return _report_run(args, report, lambda: jobs.run(job_file, client, threads=threads,
                                                         report=report))
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()


def _report_run(args, report, work: Callable[[], Any]) -> int:
    """Runs work() with the live display on a terminal, then prints the outcome."""
    live = None
    if not args.quiet and not args.debug and sys.stderr.isatty():
        live = LiveDisplay(report, sys.stderr)
        report.forward = live
    interrupted = False
    try:
        work()
    except KeyboardInterrupt:
        interrupted = True
    finally:
        if live is not None and report.status is not None:
            live.close()
    if args.json:
        print(report.to_json())
    elif live is None:
        _summary(report, sys.stdout)
    for line in report.failures():
        _err(line)
    if interrupted:
        _err("interrupted")
    elif report.error:
        _err(f"error: {report.error}")
    return report.exit_code


def console_main() -> None:
    """Entry point of the ``voriviv`` console script."""
    sys.exit(main())


if __name__ == "__main__":
    console_main()
