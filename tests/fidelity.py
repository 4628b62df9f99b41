"""Cell-by-cell comparison of a conversion's source and target, read independently.

Both sides are read by GDAL's own Python bindings in a separate interpreter
(ogr_dump.py); nothing here imports voriviv. ``differences`` returns a list of
readable differences between one source layer and one target layer: feature
count, every attribute value (fields matched by position, as GDAL writes them in
order), and every geometry (emptiness, Z/M, area, length, envelope).
"""
from __future__ import annotations

import datetime
import json
import math
import shutil
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parent
SYSTEM_PYTHON = "/usr/bin/python3"


def have_gdal_python() -> bool:
    if not Path(SYSTEM_PYTHON).exists():
        return False
    r = subprocess.run([SYSTEM_PYTHON, "-c", "import osgeo.ogr"], capture_output=True)
    return r.returncode == 0


def dump(dataset, *layers, open_options=()) -> dict:
    argv = [SYSTEM_PYTHON, str(HERE / "ogr_dump.py"), str(dataset), *layers]
    for o in open_options:
        argv += ["--oo", o]
    r = subprocess.run(argv, capture_output=True, text=True)
    if r.returncode != 0:
        raise AssertionError(f"reading {dataset} failed: {r.stderr[-2000:]}")
    return json.loads(r.stdout)


def _close(a: float, b: float, rel: float) -> bool:
    return a == b or abs(a - b) <= rel * max(abs(a), abs(b), 1e-300)


def _as_date(v: str):
    for fmt in ("%Y/%m/%d %H:%M:%S", "%Y/%m/%d %H:%M:%S.%f", "%Y/%m/%d %H:%M", "%Y/%m/%d"):
        try:
            return datetime.datetime.strptime(v.split("+")[0], fmt)
        except ValueError:
            pass
    return None


def same_value(a, b, rel=1e-12) -> bool:
    if a is None or b is None:
        return a is None and b is None
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return _close(float(a), float(b), rel)
    if isinstance(a, str) and isinstance(b, str):
        if a == b:
            return True
        da, db = _as_date(a), _as_date(b)
        if da is not None and db is not None:
            return da == db
        # GUIDs and numbers written as text keep their value.
        try:
            return _close(float(a), float(b), rel)
        except ValueError:
            return False
    if isinstance(a, str) != isinstance(b, str):
        try:
            return _close(float(a), float(b), rel)
        except (TypeError, ValueError):
            return False
    return a == b


def same_geometry(a, b, rel=1e-6, dims=True) -> str:
    """'' when the geometries agree, else what differs."""
    if a is None or b is None or a["empty"] or b["empty"]:
        ea = a is None or a["empty"]
        eb = b is None or b["empty"]
        return "" if ea == eb else f"emptiness {a and a['type']} -> {b and b['type']}"
    if dims and (a["z"], a["m"]) != (b["z"], b["m"]):
        return f"dimensions z/m {a['z']}/{a['m']} -> {b['z']}/{b['m']}"
    # A closed line has an area in GDAL's eyes, a multi-line has none.
    lines = "Line" in a["type"] or "Line" in b["type"]
    for k in (("length",) if lines else ("area", "length")):
        if not _close(a[k], b[k], rel) and abs(a[k] - b[k]) > 1e-9:
            return f"{k} {a[k]} -> {b[k]}"
    for x, y in zip(a["envelope"], b["envelope"]):
        if not _close(x, y, rel) and abs(x - y) > 1e-7:
            return f"envelope {a['envelope']} -> {b['envelope']}"
    if dims and a["m_values"] and [round(v, 6) for v in a["m_values"]] != \
            [round(v, 6) for v in b["m_values"]]:
        return "m values differ"
    return ""


def differences(src: dict, dst: dict, *, dims=True, skip_fields=(), rel=1e-12,
                geom_rel=1e-6) -> list:
    out = []
    sf, df = src["features"], sorted(dst["features"], key=lambda f: f["fid"])
    if len(sf) != len(df):
        return [f"feature count {len(sf)} -> {len(df)}"]
    snames = [f[0] for f in src["fields"]]
    dnames = [f[0] for f in dst["fields"]]
    if len(snames) != len(dnames):
        out.append(f"fields {snames} -> {dnames}")
    pairs = [(k, s) for k, s in enumerate(snames[:len(dnames)]) if s not in skip_fields]
    for i, (a, b) in enumerate(zip(sf, df)):
        for k, s in pairs:
            if not same_value(a["attrs"][k], b["attrs"][k], rel):
                out.append(f"feature {i} field {s}: {a['attrs'][k]!r} -> {b['attrs'][k]!r}")
        g = same_geometry(a["geom"], b["geom"], geom_rel, dims)
        if g:
            out.append(f"feature {i} geometry: {g}")
    return out


def need_tools():
    return shutil.which("ogr2ogr") is not None and have_gdal_python()
