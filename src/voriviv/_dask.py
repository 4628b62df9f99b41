"""Job runs on a Dask cluster (``dask.distributed``): one task per layer.

How a job becomes tasks:

* A load or a conversion into a directory first lists its layers (on a
  worker: the paths are the workers' paths; one task lists every job that
  is ready to start), then runs its layers as tasks, each calling the
  converter with ``tables=[...]`` on one thread. A task holds one layer or a
  run of consecutive layers of one job (see :func:`plan_tasks`): the first
  tasks of a run are the larger ones, the last ones hold a single layer
  each, so every converter call's own setup (connections, opening the
  source, listing) is paid fewer times while the workers still finish
  together.
* A job that writes a File Geodatabase (``pg2gdb``, ``pg2gdbf``) is one task
  that makes the converter's whole call, the layers one after another in one
  process. GDAL's geodatabase writer loses layers when two translations
  write one geodatabase at once, and replacing a geodatabase (built beside
  the old one, then swapped in) is one step over all of its layers; splitting
  it into per-layer tasks on several machines would give up both. Jobs that
  write the same geodatabase run one after another, in the file's order.
* Order between jobs is kept where it matters: a job that reads what an
  earlier job writes (the same schema of the same database, the same or an
  enclosing path) starts after that job has ended, and two layers of
  different jobs that write the same table or file run in the file's order.
  Everything else runs at once.

Progress events go from the workers to the client as Dask events (a topic
per run, ``Worker.log_event`` / ``Client.subscribe_topic``) for the live
display; each task also returns its layers' final records, which are what
the report keeps (events may arrive late or not at all; results do).

Ctrl-C on the client asks every worker (``Client.run``) to stop the run: the
progress callable of each running layer then raises, which stops the
translation the way Ctrl-C stops a local one, and tasks not yet started end
at once. The client waits for every task to end before it returns, so no
worker is still writing when the command exits.
"""
from __future__ import annotations

import logging
import os
import queue
import signal
import threading
import time
import uuid
import warnings
from dataclasses import asdict, replace
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

from voriviv.connection import database
from voriviv.conversions import CONVERSIONS, run_conversion
from voriviv.progress import LayerEvent
from voriviv.report import Report, _one_line

INSTALL_HINT = ("running jobs on Dask needs dask.distributed: "
                "pip install 'voriviv[dask]' (or pip install 'dask[distributed]')")

# How long the client waits, after Ctrl-C, for running layers to stop.
STOP_TIMEOUT = 60.0
PROGRESS_INTERVAL = 0.25


def require_distributed():
    """The ``distributed`` module, or ImportError with how to install it."""
    try:
        import distributed  # optional: only runs on Dask need it
    except ImportError as e:
        raise ImportError(INSTALL_HINT) from e
    return distributed


# --- on the workers ------------------------------------------------------------------

_CANCELLED: Set[str] = set()     # runs stopped in this worker process


class _Stop(KeyboardInterrupt):
    """Raised by a unit's progress callable once its run was stopped."""


def cancel_run(run_id: str) -> None:
    """Stops a run in this process (called on every worker by Client.run)."""
    _CANCELLED.add(run_id)


def quiet_worker() -> None:
    """GDAL's warnings are sent with the events; not printed by our own workers."""
    warnings.simplefilter("ignore", RuntimeWarning)


class _Sender:
    """A unit's progress callable: events to the client, stop when the run was."""

    def __init__(self, topic: str, run_id: str, job: int,
                 units: Optional[Sequence[int]], layers: Sequence[str] = ()) -> None:
        from distributed import get_worker  # optional dependency, present on a worker
        try:
            self.worker = get_worker()
        except ValueError:  # not on a worker (a test calling the function directly)
            self.worker = None
        self.topic, self.run_id, self.job = topic, run_id, job
        self.units, self.layers = units, tuple(layers)
        self.last = 0.0

    def unit(self, index: int, layer: str) -> Optional[int]:
        """The job's layer number of item ``index`` of this call (None: whole job)."""
        return _unit_of(self.units, self.layers, index, layer)

    def __call__(self, event: LayerEvent) -> None:
        if self.run_id in _CANCELLED:
            raise _Stop()
        now = time.monotonic()
        if event.kind == "progress" and now - self.last < PROGRESS_INTERVAL:
            return
        self.last = now
        if self.worker is not None:
            self.worker.log_event(self.topic, {
                "job": self.job, "unit": self.unit(event.index, event.layer),
                "kind": event.kind, "index": event.index,
                "items": event.items, "layer": event.layer, "source": event.source,
                "target": event.target, "done": event.done, "total": event.total,
                "seconds": event.seconds, "error": _one_line(event.error),
                "warnings": list(event.warnings)})


def list_jobs(jobs: Sequence) -> Dict[int, Tuple[str, Any]]:
    """The layers of several jobs (``Job.layers()``), listed in one task on a
    worker, where the paths are the workers' paths: per job index ("ok",
    layers) or ("error", the failure as one line)."""
    out: Dict[int, Tuple[str, Any]] = {}
    for job in jobs:
        try:
            out[job.index] = ("ok", job.layers())
        except Exception as e:  # noqa: BLE001 - one job's listing fails, not the others'
            out[job.index] = ("error", _one_line(e))
    return out


def _unit_of(units: Optional[Sequence[int]], layers: Sequence[str], index: int,
             layer: str) -> Optional[int]:
    """The job's layer number of item ``index`` (named ``layer``) of a call
    made for ``layers``; None for a call that made the whole job."""
    if units is None:
        return None
    if index < len(layers) and layers[index] == layer:
        return units[index]
    # The converter named the item otherwise than the listing: find it by name.
    for unit, name in zip(units, layers):
        if name == layer or name.lower() == layer.lower():
            return unit
    return units[min(index, len(units) - 1)]


def _result(job: int, units: Optional[Sequence[int]], layers: Sequence[str],
            rep) -> Dict[str, Any]:
    records = []
    for r in rep.records():
        d = asdict(r)
        d["unit"] = _unit_of(units, layers, r.index, r.layer)
        records.append(d)
    return {"job": job, "units": None if units is None else list(units), "status": rep.status,
            "error": rep.error, "records": records}


def run_unit(topic: str, run_id: str, job, units: Optional[Sequence[int]],
             layers: Optional[Sequence[str]], *after: Any) -> Dict[str, Any]:
    """Runs layers of a job (``layers``, the job's layer numbers ``units``), or
    the whole job (both None), in one converter call on one thread.

    ``after`` are results of tasks this one had to wait for (unused). Never
    raises: the outcome is in the returned record.
    """
    names = tuple(layers) if layers is not None else ()
    if run_id in _CANCELLED:
        return {"job": job.index, "units": None if units is None else list(units),
                "status": "interrupted", "error": "interrupted", "records": []}
    if layers is not None:
        job = replace(job, tables=names)
    source, target = job.command_line()
    sender = _Sender(topic, run_id, job.index, units, names)
    rep = Report(job.method, source, target, threads=1, forward=sender)
    try:
        run_conversion(job.method, source, target, threads=1, report=rep, **job.run_kwargs())
    except KeyboardInterrupt:
        pass                             # recorded as interrupted
    except Exception as e:  # noqa: BLE001 - run_conversion's own checks
        rep.finish(e)
    return _result(job.index, units, names, rep)


def plan_tasks(layers: Dict[int, List[str]], threads: int) -> List[Tuple[int, List[int]]]:
    """Splits the layers of jobs (job index -> its layers) into tasks:
    (job index, the job's layer numbers), in the order they should start.

    A task makes one converter call, whose own setup (opening the source,
    connecting, listing) each task pays again, so layers are grouped; but a
    worker that runs out of work while another still has a long task left
    waits for it. The sizes follow guided self-scheduling: each task takes
    ``ceil(remaining / (2 * threads))`` layers of one job (never crossing
    into the next job), so the run starts with large tasks and ends with
    tasks of one layer, the workers finishing within about one layer of
    each other. With no worker yet (``threads`` 0: a cluster that is still
    starting or scales up on demand) every task is one layer, so that the
    workers to come share the run.
    """
    remaining = sum(len(v) for v in layers.values())
    plan: List[Tuple[int, List[int]]] = []
    for job, names in layers.items():
        k = 0
        while k < len(names):
            size = 1 if threads < 1 else min(len(names) - k, -(-remaining // (2 * threads)))
            plan.append((job, list(range(k, k + size))))
            k += size
            remaining -= size
    return plan


# --- on the client -------------------------------------------------------------------

def start_local_cluster(n_workers: int):
    """A LocalCluster of n single-threaded worker processes and its client.

    The workers are started with SIGINT ignored: Ctrl-C on a terminal reaches
    the whole process group, and it is the client that stops the run (the
    workers end their layers cleanly rather than die in the middle of one).
    """
    distributed = require_distributed()
    import dask  # optional, installed with distributed
    main = threading.current_thread() is threading.main_thread()
    old = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
    try:
        # The workers' statistical profiler samples every thread 100 times a
        # second, for a dashboard this cluster does not have.
        with dask.config.set({"distributed.worker.profile.enabled": False}):
            cluster = distributed.LocalCluster(
                n_workers=n_workers, threads_per_worker=1, processes=True,
                dashboard_address=None, silence_logs=logging.ERROR,
                # no dashboard; its HTTP server on a free port
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    finally:
        if main:
            signal.signal(signal.SIGINT, old)
    client = distributed.Client(cluster)
    client.run(quiet_worker)
    return cluster, client


def _writes(job) -> Tuple:
    if CONVERSIONS[job.method].target == "pg":
        return ("pg", database(job.target), job.schema)
    return ("path", os.path.normpath(job.source if job.exports else job.target))


def _reads(job) -> Tuple:
    if job.exports:
        return ("pg", database(job.connection), job.schema)
    return ("path", os.path.normpath(job.source))


def _overlap(a: Tuple, b: Tuple) -> bool:
    if a[0] != b[0]:
        return False
    if a[0] == "pg":
        return a == b
    p, q = a[1], b[1]
    return p == q or q.startswith(p + os.sep) or p.startswith(q + os.sep)


def _dependencies(jobs: Sequence) -> Dict[int, Set[int]]:
    """Earlier jobs each job must wait for: it reads what they write, or both
    write one File Geodatabase."""
    deps: Dict[int, Set[int]] = {j.index: set() for j in jobs}
    for i, b in enumerate(jobs):
        for a in jobs[:i]:
            w = _writes(a)
            if _overlap(w, _reads(b)) or (b.writes_geodatabase and _overlap(w, _writes(b))):
                deps[b.index].add(a.index)
    return deps


def _unit_key(job, layer: str) -> Tuple:
    """What one layer of a job writes: a table or an output name in a directory."""
    return _writes(job) + (layer.lower(),)


class _RemoteError(Exception):
    """A failure reported by a worker, as its one line of text."""


def run(jobs: Sequence, client, report):
    """Runs the jobs on the client's cluster, filling ``report``; returns it."""
    return _Run(jobs, client, report).run()


class _Run:
    """One run of jobs on a Dask cluster, driven from the client.

    The client's callbacks (an event from a worker, a task that ended) only
    put a message into :attr:`inbox`; :meth:`drain` takes them one at a time
    on the calling thread, so the state below needs no lock. A job goes
    waiting -> listing -> listed -> running -> done; one that writes a File
    Geodatabase goes from waiting straight to running (one task, no listing).
    """

    def __init__(self, jobs: Sequence, client, report) -> None:
        self.jobs = list(jobs)
        self.client = client
        self.report = report
        self.run_id = uuid.uuid4().hex
        self.topic = f"voriviv-run-{self.run_id}"
        self.inbox: "queue.Queue[Tuple[str, Any]]" = queue.Queue()
        self.by_index = {j.index: j for j in self.jobs}
        self.deps = _dependencies(self.jobs)
        self.state = {j.index: "waiting" for j in self.jobs}
        self.listed: Dict[int, List[str]] = {}          # layers of listed jobs, until started
        self.remaining: Dict[int, int] = {}             # tasks of a running job not yet ended
        self.units_of: Dict[int, int] = {}              # layers of a job run as units
        self.job_error: Dict[int, str] = {}             # a job's failure besides its layers'
        self.finished_units: Set[Tuple[int, Optional[int]]] = set()
        self.last_writer: Dict[Tuple, Any] = {}         # _unit_key -> the task writing it last
        self.futures: Dict[Any, Tuple] = {}             # tasks not yet ended -> what they do
        self._threads: Optional[int] = None

    def run(self):
        self.client.subscribe_topic(self.topic, lambda ev: self.inbox.put(("event", ev[1])))
        try:
            self.start_ready()
            self.drain()
        except KeyboardInterrupt as e:
            self.stop()
            for i in self.state:
                if self.report.jobs[i].status is None:
                    self.job_error[i] = "interrupted"
                    self.finish_job(i)
            self.report.finish(e)
            raise
        finally:
            try:
                self.client.unsubscribe_topic(self.topic)
            except Exception:  # noqa: BLE001 - the client may be closing
                pass
        self.report.finish(None)
        return self.report

    def threads(self) -> int:
        """Worker threads of the cluster. Asked once, right after the first
        listing was submitted: the listing runs meanwhile."""
        if self._threads is None:
            try:
                self._threads = sum(self.client.nthreads().values())
            except Exception:  # noqa: BLE001 - only the task sizes depend on it
                self._threads = 0
        return self._threads

    def watch(self, fut, what: Tuple) -> None:
        self.futures[fut] = what
        fut.add_done_callback(lambda f: self.inbox.put(("done", f)))

    def start_ready(self) -> None:
        """Starts what can start: lists the jobs whose dependencies are done,
        submits the layers of listed jobs (in the file's order)."""
        state = self.state
        to_list = []
        for j in self.jobs:
            i = j.index
            if state[i] == "waiting" and all(state[d] == "done" for d in self.deps[i]):
                self.report.start_job(i)
                if j.writes_geodatabase:
                    state[i] = "running"
                    self.remaining[i] = 1
                    self.watch(self.client.submit(run_unit, self.topic, self.run_id, j, None,
                                                  None, pure=False),
                               ("unit", (i,), None))
                else:
                    state[i] = "listing"
                    to_list.append(j)
        if to_list:
            # One task lists every job that can start now: one round trip.
            self.watch(self.client.submit(list_jobs, to_list, pure=False),
                       ("list", tuple(j.index for j in to_list)))
            self.threads()
        # Units in the file's order, so that two jobs writing one table keep it.
        ready: Dict[int, List[str]] = {}
        for j in self.jobs:
            i = j.index
            if state[i] == "listing":
                break
            if state[i] != "listed":
                continue
            ready[i] = self.listed.pop(i)
            state[i] = "running"
            self.units_of[i] = len(ready[i])
            self.remaining[i] = 0
        # A job that writes one table (or file) from two of its layers makes
        # one call of them all: the converter then refuses the second one, as
        # it does here, where separate calls would replace the first.
        whole = {i for i, layers in ready.items()
                 if len({_unit_key(self.by_index[i], name) for name in layers}) < len(layers)}
        plan = [(i, list(range(len(ready[i])))) for i in ready if i in whole]
        plan += plan_tasks({i: v for i, v in ready.items() if i not in whole}, self.threads())
        for i, units in plan:
            self.submit_units(self.by_index[i], units, [ready[i][k] for k in units])
        for i, layers in ready.items():
            if not layers:
                self.finish_job(i)

    def submit_units(self, job, units: List[int], layers: List[str]) -> None:
        """One task for some layers of a job, after the tasks that last wrote
        any of the same tables or files."""
        keys = [_unit_key(job, name) for name in layers]
        after = list({id(f): f for f in (self.last_writer[k] for k in keys
                                          if k in self.last_writer)}.values())
        fut = self.client.submit(run_unit, self.topic, self.run_id, job, units, layers, *after,
                                 pure=False)
        for key in keys:
            self.last_writer[key] = fut
        self.remaining[job.index] += 1
        self.watch(fut, ("unit", (job.index,), tuple(units)))

    def finish_job(self, i: int) -> None:
        self.state[i] = "done"
        rep = self.report.jobs[i]
        if rep.status is None:
            err = self.job_error.get(i)
            if err == "interrupted":
                rep.finish(KeyboardInterrupt())
            else:
                rep.finish(_RemoteError(err) if err else None)

    def merge(self, result: Dict[str, Any]) -> None:
        """Records the final records a task returned."""
        i, units = result["job"], result["units"]
        for unit in units if units is not None else [None]:
            self.finished_units.add((i, unit))
        for rec in result["records"]:
            unit = rec["unit"]
            index = rec["index"] if unit is None else unit
            kind = {"finished": "finished", "failed": "failed"}.get(rec["status"], "progress")
            error = _RemoteError(rec["error"]) if rec["error"] else None
            items = len(result["records"]) if unit is None else self.units_of.get(i, 1)
            self.report.job_event(i, LayerEvent(
                kind, index, items, rec["layer"], rec["source"],
                rec["target"], done=rec["features_read"], total=rec["total"],
                seconds=rec["seconds"], error=error, warnings=tuple(rec["warnings"])))
        if result["status"] == "interrupted":
            self.job_error[i] = "interrupted"
        elif result["error"] and not any(r["status"] == "failed" for r in result["records"]):
            self.job_error.setdefault(i, result["error"])

    def on_event(self, msg: Dict[str, Any]) -> None:
        """A progress event from a worker, unless its unit has already ended."""
        i, unit = msg["job"], msg["unit"]
        if (i, unit) in self.finished_units or self.report.jobs[i].status is not None:
            return
        index = msg["index"] if unit is None else unit
        items = msg["items"] if unit is None else self.units_of.get(i, 1)
        error = _RemoteError(msg["error"]) if msg["error"] else None
        self.report.job_event(i, LayerEvent(
            msg["kind"], index, items, msg["layer"], msg["source"], msg["target"],
            done=msg["done"], total=msg["total"], seconds=msg["seconds"], error=error,
            warnings=tuple(msg["warnings"])))

    def on_done(self, fut) -> None:
        """A task ended: its listing or records are taken in, the jobs it ends
        are finished, and what can start now starts."""
        what = self.futures.pop(fut, None)
        if what is None:
            return
        kind, indexes = what[0], what[1]
        state, remaining = self.state, self.remaining
        failure = None
        if fut.status == "finished":
            if kind == "list":
                for i, (status, value) in fut.result().items():
                    if status == "ok":
                        self.listed[i] = value
                        state[i] = "listed"
                    else:
                        self.job_error.setdefault(i, value)
                        state[i] = "running"
                        remaining[i] = 0
            else:
                self.merge(fut.result())
        else:
            # The task itself failed (a worker that died, a cancelled task).
            try:
                failure = _one_line(fut.exception()) if fut.status == "error" else "cancelled"
            except Exception as e:  # noqa: BLE001
                failure = _one_line(e)
        for i in indexes:
            if failure is not None:
                self.job_error.setdefault(i, failure)
                if kind == "list":
                    state[i] = "running"
                    remaining[i] = 0
            if kind == "unit":
                remaining[i] -= 1
            if state[i] == "running" and remaining[i] <= 0:
                self.finish_job(i)
        self.start_ready()

    def drain(self, deadline: Optional[float] = None) -> None:
        """Handles messages until every task and job has ended (or the deadline)."""
        while self.futures or any(s != "done" for s in self.state.values()):
            if deadline is not None and time.monotonic() > deadline:
                return
            try:
                kind, payload = self.inbox.get(timeout=0.2)
            except queue.Empty:
                continue
            if kind == "event":
                self.on_event(payload)
            else:
                self.on_done(payload)

    def stop(self) -> None:
        """After Ctrl-C: stop the run on every worker and wait for its tasks to end."""
        for i, s in self.state.items():
            if s in ("waiting", "listing", "listed"):
                self.state[i] = "done" if s != "listing" else s
                self.job_error[i] = "interrupted"
        try:
            self.client.run(cancel_run, self.run_id)
            # Tasks not yet started now end at once; running layers stop at their
            # next progress event. A second Ctrl-C gives up waiting.
            self.drain(time.monotonic() + STOP_TIMEOUT)
        except KeyboardInterrupt:
            pass
        finally:
            if self.futures:
                self.client.cancel(list(self.futures), force=True)
