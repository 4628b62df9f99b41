"""The parallel runner (_run_parallel), the thread setting, Ctrl-C while the
runner waits, and forwarding of GDAL warnings."""
from __future__ import annotations

import decimal
import importlib
import json
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import voriviv.geofileops.gdb as gdb
from voriviv.geofileops.gdb import GeoFileDatabase

run = GeoFileDatabase._run_parallel


@pytest.fixture(autouse=True)
def keep_setting():
    saved = gdb.GEOFILEOPS_THREADS
    yield
    gdb.GEOFILEOPS_THREADS = saved


class Concurrency:
    """A work function that records what ran, on which thread, how many at once."""

    def __init__(self, hold=0.0, barrier=None):
        self.lock = threading.Lock()
        self.active = self.peak = 0
        self.done, self.threads = [], set()
        self.hold, self.barrier = hold, barrier

    def __call__(self, item):
        with self.lock:
            self.active += 1
            self.peak = max(self.peak, self.active)
            self.threads.add(threading.get_ident())
        if self.barrier is not None:
            self.barrier.wait(timeout=10)
        time.sleep(self.hold)
        with self.lock:
            self.active -= 1
            self.done.append(item)
        return item


# --- _run_parallel --------------------------------------------------------------

def test_one_thread_runs_items_in_order_off_the_calling_thread():
    gdb.set_geofileops_threads(1)
    work = Concurrency()
    assert run(range(40), work) is None
    assert work.done == list(range(40)) and work.peak == 1
    assert len(work.threads) == 1 and threading.get_ident() not in work.threads


@pytest.mark.parametrize("n", [1, 2, 3])
@pytest.mark.parametrize("how", ["set_geofileops_threads", "attribute"])
def test_at_most_n_run_at_once_and_n_do(n, how):
    if how == "attribute":
        gdb.GEOFILEOPS_THREADS = n
    else:
        gdb.set_geofileops_threads(n)
    # Groups of n meet at the barrier: fewer than n at once would time out.
    work = Concurrency(hold=0.01, barrier=threading.Barrier(n))
    run(list(range(3 * n)), work)
    assert sorted(work.done) == list(range(3 * n))
    assert work.peak == n and len(work.threads) == n


def test_every_item_runs_after_a_failure_and_the_first_is_raised_as_is():
    gdb.set_geofileops_threads(1)
    errors = {i: ValueError(f"item {i}") for i in (0, 3)}
    seen = []

    def work(item):
        seen.append(item)
        if item in errors:
            raise errors[item]
    with pytest.raises(ValueError) as exc:
        run(range(6), work)
    assert exc.value is errors[0]
    assert seen == list(range(6))


def test_with_many_threads_exactly_one_of_the_failures_comes_back():
    gdb.set_geofileops_threads(4)
    errors = [KeyError(i) for i in range(20)]
    seen = []

    def work(i):
        seen.append(i)
        time.sleep(0.001)
        raise errors[i]
    with pytest.raises(KeyError) as exc:
        run(range(20), work)
    assert any(exc.value is e for e in errors)
    assert sorted(seen) == list(range(20))


@pytest.mark.parametrize("items", [[], (), iter([]), (i for i in ())], ids=["list", "tuple",
                                                                        "iter", "generator"])
def test_empty_input_never_calls_func(items):
    def work(_):
        raise AssertionError("called")
    assert run(items, work) is None


def test_return_values_are_ignored_and_arguments_may_be_named():
    results = [None, 0, "text", object(), [1], NotImplemented]
    assert run(items=range(len(results)), func=lambda i: results[i]) is None


def test_a_failing_iteration_still_runs_what_was_submitted_then_raises():
    gdb.set_geofileops_threads(1)
    boom = RuntimeError("source exhausted badly")

    def items():
        yield from (0, 1, 2)
        raise boom
    work = Concurrency(hold=0.05)
    with pytest.raises(RuntimeError) as exc:
        run(items(), work)
    assert exc.value is boom
    assert work.done == [0, 1, 2]

    with pytest.raises(TypeError):
        run(42, work)


@pytest.mark.parametrize("value", [0, -3])
def test_a_setting_the_pool_refuses_raises_before_any_task(value):
    gdb.GEOFILEOPS_THREADS = value
    ran = []
    for items in ([1, 2], []):
        with pytest.raises(ValueError, match="max_workers must be greater than 0"):
            run(items, ran.append)
    assert ran == []


def test_an_enormous_setting_just_means_unbounded():
    gdb.set_geofileops_threads(10 ** 30)
    assert gdb.GEOFILEOPS_THREADS == 10 ** 30
    work = Concurrency()
    run(range(5), work)
    assert sorted(work.done) == list(range(5))


def test_failing_items_from_a_generator_do_not_deadlock():
    # The calling thread holds the GIL while it runs the generator and submits;
    # workers finishing failed items meanwhile must never wait for the GIL
    # while holding the pool's lock. A slow generator keeps submission going
    # long enough for that to happen on every run.
    code = textwrap.dedent("""
        from voriviv.geofileops import gdb
        gdb.GEOFILEOPS_THREADS = 4
        def fail(i):
            raise ValueError(i)
        def items():
            for i in range(2000):
                for _ in range(300):
                    pass
                yield i
        for _ in range(5):
            try:
                gdb.GeoFileDatabase._run_parallel(items(), fail)
            except ValueError:
                pass
        print("finished")
    """)
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("_run_parallel hung with failing items from a generator")
    assert out.stdout.strip() == "finished", out.stderr


# --- set_geofileops_threads -------------------------------------------------------

class IntLike(int):
    pass


@pytest.mark.parametrize("value, stored", [
    (0, 1), (-5, 1), (1, 1), (7, 7), (2.9, 2), (-2.9, 1), (True, 1), (False, 1),
    (decimal.Decimal("3.7"), 3), (IntLike(5), 5),
])
def test_set_threads_converts_and_clamps(value, stored):
    assert gdb.set_geofileops_threads(value) is None
    assert gdb.GEOFILEOPS_THREADS == stored and type(gdb.GEOFILEOPS_THREADS) is int
    gdb.set_geofileops_threads(n=value)
    assert gdb.GEOFILEOPS_THREADS == stored


@pytest.mark.parametrize("value, error, message", [
    ("3", TypeError, "Argument 'n' has incorrect type (expected int, got str)"),
    (None, TypeError, "Argument 'n' has incorrect type (expected int, got NoneType)"),
    (b"3", TypeError, "Argument 'n' has incorrect type (expected int, got bytes)"),
    ([3], TypeError, "Argument 'n' has incorrect type (expected int, got list)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
])
def test_set_threads_refusals_leave_the_setting_alone(value, error, message):
    gdb.set_geofileops_threads(6)
    with pytest.raises(error) as exc:
        gdb.set_geofileops_threads(value)
    assert type(exc.value) is error and str(exc.value) == message
    assert gdb.GEOFILEOPS_THREADS == 6


@pytest.mark.parametrize("other", ["tab", "shp"])
def test_each_converter_module_keeps_its_own_setting(other):
    mod = pytest.importorskip(f"voriviv.geofileops.{other}")
    before = mod.GEOFILEOPS_THREADS
    gdb.set_geofileops_threads(before + 3)
    assert mod.GEOFILEOPS_THREADS == before
    mod.set_geofileops_threads(before + 5)
    assert gdb.GEOFILEOPS_THREADS == before + 3
    mod.GEOFILEOPS_THREADS = before


# --- Ctrl-C -------------------------------------------------------------------------

CTRL_C_SCRIPT = """
import _thread, json, os, signal, sys, threading, time
from voriviv.geofileops import gdb
gdb.GEOFILEOPS_THREADS = 2
started, finished = [], []
def work(i):
    started.append(i)
    if i == 0:
        if sys.argv[1] == "interrupt_main":
            _thread.interrupt_main()
        else:
            print("running", flush=True)
    time.sleep(0.5)
    finished.append(i)
try:
    gdb.GeoFileDatabase._run_parallel(range(50), work)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
print(json.dumps({"outcome": outcome, "started": sorted(started),
                  "finished": sorted(finished), "threads": threading.active_count()}))
"""


@pytest.mark.parametrize("how", ["SIGINT", "interrupt_main"])
def test_ctrl_c_while_waiting_skips_queued_items_and_joins(how):
    proc = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT, how],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if how == "SIGINT":
            assert proc.stdout.readline().strip() == "running"
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    result = json.loads(out.strip().splitlines()[-1])
    assert result["outcome"] == "KeyboardInterrupt", err
    # Only what had started ran (to its end); the queued rest never did.
    assert 0 in result["started"] and set(result["started"]) <= {0, 1}
    assert result["finished"] == result["started"]
    assert result["threads"] == 1


# --- GDAL warnings ------------------------------------------------------------------

@pytest.fixture
def gdb_missing_indexes(tmp_path, ne_gdb):
    """The test geodatabase with two damaged system tables that GDAL still
    opens, warning once for each: the catalog lacks its offsets file, and the
    items table's header claims more records than its offsets file holds."""
    path = tmp_path / "warned.gdb"
    shutil.copytree(ne_gdb, path)
    (path / "a00000001.gdbtablx").unlink()
    with open(path / "a00000004.gdbtable", "r+b") as f:
        f.seek(4)  # the header's count of valid records
        f.write((2 ** 31 - 1).to_bytes(4, "little"))
    return path


def _runtime_warnings(caught):
    return [str(w.message) for w in caught if w.category is RuntimeWarning]


def test_gdal_warnings_become_runtime_warnings_once_per_message(gdb_missing_indexes):
    obj = GeoFileDatabase(gdb_missing_indexes)
    for _ in range(2):  # each opening reports its own warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            ds = obj._open_gdb()
            shared = obj._open_gdb()  # the shared open hands back the open dataset
        messages = _runtime_warnings(caught)
        del shared
        assert len(messages) == 2
        assert messages[0].endswith("a00000001.gdbtablx could not be found. Trying to guess "
                                    "feature locations, but this might fail or return "
                                    "incorrect results")
        assert "a00000004.gdbtable declares 2147483647 valid records" in messages[1]
        # A warning never fails the call.
        assert GeoFileDatabase._list_layers(ds) == ["cities", "countries"]
        del ds


def test_gdal_warnings_from_pool_threads_reach_the_warnings_module(gdb_missing_indexes):
    gdb.set_geofileops_threads(2)
    obj = GeoFileDatabase(gdb_missing_indexes)
    counts = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run(range(4), lambda _: counts.append(obj._open_gdb().GetLayerCount()))
    assert counts == [2, 2, 2, 2]
    assert len(_runtime_warnings(caught)) == 8


def test_a_warning_filter_can_still_turn_gdal_warnings_into_errors(gdb_missing_indexes):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="could not be found"):
            GeoFileDatabase(gdb_missing_indexes)._open_gdb()


@pytest.mark.parametrize("value, most", [(None, None), (1.5, 2), (float("inf"), None)])
def test_assigned_settings_are_taken_like_a_thread_pool_takes_them(value, most):
    gdb.GEOFILEOPS_THREADS = value
    seen = set()
    barrier_hits = []

    def work(i):
        seen.add(threading.get_ident())
        time.sleep(0.05)
        barrier_hits.append(i)

    run(range(6), work)
    assert sorted(barrier_hits) == list(range(6))
    if most is not None:
        assert len(seen) <= most
    gdb.GEOFILEOPS_THREADS = float("nan")
    with pytest.raises(ValueError, match="max_workers must be greater than 0"):
        run([1], work)
