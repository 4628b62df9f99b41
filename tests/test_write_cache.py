"""The write cache of file outputs behaves as the plain file it stands for:
every read, the file's size and its bytes after closing are those of the
same operations on a file Python writes directly."""
import os
import random

import pytest

import voriviv.geofileops.shp as shp

PAGE = 64 * 1024


def random_ops(rng: random.Random, n: int, span: int):
    """Seeks (from the start, the position, the end), writes of a few bytes up
    to several pages, reads, truncates, mostly near the end of the file as the
    writers work, sometimes anywhere in it or past its end."""
    ops = []
    for _ in range(n):
        r = rng.random()
        if r < 0.25:
            ops.append(("seek", rng.randrange(span), os.SEEK_SET))
        elif r < 0.3:
            ops.append(("seek", 0, os.SEEK_END))
        elif r < 0.35:
            ops.append(("seek", rng.randrange(64), os.SEEK_CUR))
        elif r < 0.7:
            size = rng.choice([1, 2, 105, 512, rng.randrange(1, 3 * PAGE)])
            ops.append(("write", rng.randbytes(size)))
        elif r < 0.97:
            ops.append(("read", rng.choice([1, 512, 4096, rng.randrange(1, 2 * PAGE)])))
        else:
            ops.append(("truncate", rng.randrange(span)))
    return ops


def plain(path, mode, ops):
    reads = []
    with open(path, mode.replace("b", "") + "b", buffering=0) as f:
        for op in ops:
            if op[0] == "seek":
                f.seek(op[1], op[2])
            elif op[0] == "write":
                f.write(op[1])
            elif op[0] == "read":
                reads.append(f.read(op[1]) or b"")
            elif op[0] == "truncate":
                f.truncate(op[1])
    return reads


@pytest.mark.parametrize("seed", range(6))
def test_cached_file_reads_and_writes_as_a_plain_file(tmp_path, seed):
    rng = random.Random(seed)
    # More pages than the cache holds, so that pages leave it and come back.
    span = 40 * PAGE
    start = rng.randbytes(rng.randrange(3 * PAGE))
    for mode in ("w+b", "r+b", "wb"):
        ops = random_ops(rng, 400, span)
        ours, theirs = tmp_path / f"ours{seed}", tmp_path / f"theirs{seed}"
        for p in (ours, theirs):
            p.write_bytes(start)
        got = shp._write_cache_ops(str(ours), mode, ops)
        # Python reads no file opened "wb": the same with "w+b" (whose reads
        # the cached one, which reads back what it must, also gives).
        want = plain(theirs, "w+b" if mode == "wb" else mode, ops)
        assert got == want, mode
        assert ours.read_bytes() == theirs.read_bytes(), mode


def test_records_appended_with_an_end_mark_as_the_dbase_writer_does(tmp_path):
    """Each record overwrites the previous end mark, then the end mark is
    written again after it: the cached file ends as the plain one."""
    ops = [("write", b"H" * 130)]
    for i in range(5000):
        ops += [("seek", 130 + i * 105, os.SEEK_SET), ("write", b" %-104d" % i),
                ("write", b"\x1a"), ("seek", 0, os.SEEK_END), ("read", 1)]
    ours, theirs = tmp_path / "ours.dbf", tmp_path / "theirs.dbf"
    got = shp._write_cache_ops(str(ours), "w+b", ops)
    assert got == plain(theirs, "w+b", ops)
    assert ours.read_bytes() == theirs.read_bytes()
    assert ours.stat().st_size == 130 + 5000 * 105 + 1
