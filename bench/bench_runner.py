"""The parallel runner against its peers, same machine, same run.

* _run_parallel over many trivial Python callables vs
  concurrent.futures.ThreadPoolExecutor + as_completed doing the same work on
  the same number of threads (ratio below 1: ours is faster).
* CPU-only items that release the GIL (hashing a large buffer: hashlib
  lets go of the GIL for it) on the native runner, with 2 threads vs 1
  (ratio near 2 on an idle machine with two free cores).

The load average and the process's CPU time per wall second are printed next
to the timings: a CPU/wall near 2.0 means two cores really worked at once,
whatever else the machine was doing.

Usage: .venv/bin/python bench/bench_runner.py [--items N] [--threads N] [--megabytes N]
Ratios are printed, never asserted.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import resource
import time
from concurrent.futures import ThreadPoolExecutor, as_completed

from voriviv.geofileops import gdb


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def best_of(fn, repeat: int):
    """Best wall time over `repeat` runs and the CPU/wall ratio of that run."""
    best = (float("inf"), 0.0)
    for _ in range(repeat):
        c0, t0 = cpu_seconds(), time.perf_counter()
        fn()
        wall = time.perf_counter() - t0
        if wall < best[0]:
            best = (wall, (cpu_seconds() - c0) / wall)
    return best


def trivial(_item) -> None:
    return None


def with_executor(items, func, threads: int) -> None:
    with ThreadPoolExecutor(max_workers=threads) as pool:
        futures = [pool.submit(func, item) for item in items]
        for future in as_completed(futures):
            future.result()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--items", type=int, default=10_000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--megabytes", type=int, default=512,
                    help="bytes each CPU item hashes, in MiB")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    print(f"cpus: {os.cpu_count()}  load average before: "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()))

    items = list(range(args.items))
    gdb.set_geofileops_threads(args.threads)
    ours, _ = best_of(lambda: gdb.GeoFileDatabase._run_parallel(items, trivial), args.repeat)
    peer, _ = best_of(lambda: with_executor(items, trivial, args.threads), args.repeat)
    print(f"\n{args.items} trivial Python callables on {args.threads} threads (best of "
          f"{args.repeat})")
    print(f"  _run_parallel                          {ours * 1e3:8.1f} ms")
    print(f"  ThreadPoolExecutor + as_completed      {peer * 1e3:8.1f} ms")
    print(f"  ratio ours / executor                  {ours / peer:8.2f}")

    # Two items of equal CPU work, each without the GIL while it hashes: one
    # thread runs them in turn, two at once.
    blob = bytes(args.megabytes << 20)
    work = lambda _item: hashlib.sha256(blob).digest()  # noqa: E731
    native = {}
    for threads in (1, 2):
        gdb.set_geofileops_threads(threads)
        native[threads] = best_of(lambda: gdb.GeoFileDatabase._run_parallel([0, 1], work), 3)
    print(f"\n2 items hashing {args.megabytes} MiB each, GIL released (best of 3)")
    for threads, (wall, cpu) in native.items():
        print(f"  {threads} thread{'s' if threads > 1 else ' '}    {wall * 1e3:8.1f} ms   "
              f"CPU/wall {cpu:4.2f}")
    print(f"  speed-up 2 threads vs 1                {native[1][0] / native[2][0]:8.2f}")
    print("\nload average after: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))


if __name__ == "__main__":
    main()
