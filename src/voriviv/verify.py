"""Proof that every value arrived: a conversion's target compared with its source.

:func:`verify` pairs each layer of a source with the layer a conversion
makes of it in a target (the table a load names, ``<layer>.shp`` or
``<layer>.tab``, the geodatabase layer of the same name), reads both side by
side once, and compares presence, feature count, every field value and every
geometry (within the target's own resolution). Its
:class:`VerifyReport` says per layer whether the two are *identical*,
*equal up to the format* (they differ only where the target format forces it
and the conversion announces it, each kind counted) or *differ* (with the
first few differences, named by feature and field, with both values)::

    {"source": "roads.gdb", "target": "PG:host=db ... schemas=roads",
     "status": "ok", "exit_code": 0, "seconds": 1.9, "threads": 4,
     "layers": [{"layer": "roads", "source": "roads", "target": "roads",
                 "status": "equal up to the format",
                 "source_features": 1200, "target_features": 1200,
                 "differences": 0, "shown": [],
                 "format": [{"kind": "single-part geometries held as multi-part ones",
                             "count": 1200}],
                 "error": null}]}

The comparison is native: the layers run in parallel on the threads of the
``voriviv.geofileops.gdb`` module (``threads=`` sets them), without the GIL,
and Ctrl-C stops them as it stops a conversion.
"""
from __future__ import annotations

import json
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional, Tuple

from voriviv.connection import connection_text, with_schema
from voriviv.conversions import converter_module, default_threads, list_layers
from voriviv.errors import UsageError
from voriviv.report import mask_secrets

__all__ = ["verify", "VerifyReport", "LayerCheck", "IDENTICAL", "EQUAL_UP_TO_FORMAT",
           "DIFFERS"]

IDENTICAL = "identical"
EQUAL_UP_TO_FORMAT = "equal up to the format"
DIFFERS = "differs"


@dataclass
class LayerCheck:
    """What the comparison of one layer found.

    ``status`` is :data:`IDENTICAL`, :data:`EQUAL_UP_TO_FORMAT` or
    :data:`DIFFERS`; ``differences`` counts the features (and fields) that
    differ, ``shown`` holds the first few (``feature``, ``field``, ``what``,
    ``source``, ``target``), ``format`` the kinds of difference the target
    format forced with how many features (or fields) each concerns. A side
    that could not be read is a difference too, with GDAL's message in
    ``error``.
    """

    layer: str
    source: str
    target: str
    status: str
    source_features: Optional[int] = None
    target_features: Optional[int] = None
    differences: int = 0
    shown: List[dict] = field(default_factory=list)
    format: List[tuple] = field(default_factory=list)
    error: Optional[str] = None

    def line(self) -> str:
        """The layer as one line of text."""
        counts = f"{_count(self.source_features)} -> {_count(self.target_features)} features"
        text = f"{self.layer}: {self.status} ({counts}"
        if self.status == EQUAL_UP_TO_FORMAT:
            text += "; " + "; ".join(f"{kind}: {n}" for kind, n in self.format)
        elif self.status == DIFFERS:
            text += f"; {self.differences} difference(s)"
        text += ")"
        if self.error:
            text += f": {self.error}"
        for d in self.shown:
            where = ", ".join(p for p in (d["feature"], f"field {d['field']!r}" if d["field"]
                                          else "") if p)
            values = (f": {d['source']!r} -> {d['target']!r}"
                      if d["source"] or d["target"] else "")
            text += f"\n    {where}: {d['what']}{values}"
        return text


class VerifyReport:
    """The outcome of :func:`verify`: one :class:`LayerCheck` per source layer."""

    def __init__(self, source: str, target: str, threads: Optional[int] = None) -> None:
        self.source = source
        self.target = target
        self.threads = threads
        self.layers: List[LayerCheck] = []
        self.seconds = 0.0

    @property
    def status(self) -> str:
        """"ok" when no layer differs, else "differs"."""
        return DIFFERS if any(c.status == DIFFERS for c in self.layers) else "ok"

    @property
    def exit_code(self) -> int:
        """The command line's exit status: 0 when no layer differs, else 1."""
        return 0 if self.status == "ok" else 1

    def lines(self) -> List[str]:
        """One line per layer (and the differences it shows, indented)."""
        return [c.line() for c in self.layers]

    def to_dict(self) -> Dict[str, Any]:
        layers = []
        for c in self.layers:
            d = c.__dict__.copy()
            d["format"] = [{"kind": k, "count": n} for k, n in c.format]
            layers.append(d)
        return {"source": mask_secrets(self.source), "target": mask_secrets(self.target),
                "status": self.status, "exit_code": self.exit_code,
                "seconds": round(self.seconds, 3), "threads": self.threads, "layers": layers}

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)


def _count(n: Optional[int]) -> str:
    return "?" if n is None else f"{n:,}"


# What list_layers calls a location, and what the comparer calls its layers.
_NATIVE_KIND = {".shp": "shp", ".tab": "tab", ".dbf": "shp"}


def _sides(location: str, schema: str, kind: Optional[str],
           tables: Optional[List[str]]) -> Tuple[Dict[str, Any], List[Dict[str, Any]]]:
    """The listing of a location and each of its layers as the comparer reads it."""
    listing = list_layers(location, schema, kind=kind, tables=tables)
    sides = []
    if listing["kind"] == "postgresql":
        conn = with_schema(connection_text(location), schema)
        for layer in listing["layers"]:
            sides.append({"name": layer["name"], "dataset": conn, "layer": layer["name"],
                          "kind": "postgresql", "schema": schema})
    elif listing["kind"] == "gdb":
        for layer in listing["layers"]:
            sides.append({"name": layer["name"], "dataset": str(location),
                          "layer": layer["name"], "kind": "gdb"})
    else:
        for layer in listing["layers"]:
            path = Path(layer["path"])
            sides.append({"name": layer["name"], "dataset": str(path), "layer": path.stem,
                          "kind": _NATIVE_KIND.get(path.suffix.lower(), "shp")})
    return listing, sides


def _target_name(layer: str, target_kind: str, gdb) -> str:
    """The name the conversion gives `layer` in a target of this kind."""
    if target_kind == "postgresql":
        return gdb._pg_target_table(layer)
    return layer


def _pair(source: Dict[str, Any], candidates: List[Dict[str, Any]], target: str,
          target_kind: str, gdb) -> Optional[Dict[str, Any]]:
    name = _target_name(source["name"], target_kind, gdb)
    same = [c for c in candidates if c["name"] == name]
    if not same and target_kind == "gdb":
        same = [c for c in candidates if c["name"].lower() == name.lower()]
    if not same and target_kind in ("shp", "files") and Path(target).is_dir():
        # A layer without geometry is written as a lone .dbf file.
        dbf = Path(target) / f"{name}.dbf"
        if dbf.is_file():
            return {"name": name, "dataset": str(dbf), "layer": name, "kind": "shp"}
    # A directory may hold both kinds of file of one layer: the other kind
    # is what a conversion between the two wrote.
    same.sort(key=lambda c: c["kind"] == source["kind"])
    return same[0] if same else None


def verify(source: str, target: str, *, schema: Optional[str] = None,
           tables: Optional[Iterable[str]] = None, threads: Optional[int] = None,
           source_kind: Optional[str] = None,
           target_kind: Optional[str] = None) -> VerifyReport:
    """Compares every layer of ``source`` with the layer a conversion made of it
    in ``target``; returns a :class:`VerifyReport`.

    ``source`` and ``target`` are locations as :func:`~voriviv.conversions.list_layers`
    takes them: a File Geodatabase, a TAB file or Shapefile or a directory of
    them, or a PostgreSQL connection (then ``schema``, "public" when not
    given); at most one of the two may be a database. ``source_kind`` and
    ``target_kind`` say what a location is where its name does not (one of
    :data:`~voriviv.conversions.LAYER_KINDS`: "tab" compares only the TAB
    files of a directory). ``tables``, when not empty, keeps the source
    layers it names. ``threads`` sets the threads of the comparison (default:
    the CPU count) for this call; the ``voriviv.geofileops.gdb`` module's own
    setting is left as it was.

    Raises :class:`~voriviv.errors.UsageError` for locations that cannot be
    compared; a layer whose target is missing or cannot be read is a layer
    that differs.
    """
    start = time.monotonic()
    schema = schema or "public"
    tables = list(tables) if tables else None
    if threads is None:
        threads = default_threads()
    if threads < 1:
        raise UsageError("--threads must be at least 1")
    src_listing, src_sides = _sides(source, schema, source_kind, tables)
    dst_listing, dst_sides = _sides(target, schema, target_kind, None)
    if src_listing["kind"] == dst_listing["kind"] == "postgresql":
        raise UsageError("at most one of SOURCE and TARGET may be a database")
    gdb = converter_module("gdb")
    report = VerifyReport(source, target, threads)
    pairs, checks = [], []
    for side in src_sides:
        match = _pair(side, dst_sides, target, dst_listing["kind"], gdb)
        if match is None:
            report.layers.append(LayerCheck(side["name"], side["layer"],
                                            _target_name(side["name"], dst_listing["kind"], gdb),
                                            DIFFERS, error="the layer is missing in the target"))
            continue
        check = LayerCheck(side["name"], side["dataset"] if side["kind"] != "postgresql"
                           else f"{schema}.{side['layer']}", match["layer"], IDENTICAL)
        if match["kind"] == "postgresql":
            check.target = f"{schema}.{match['layer']}"
        elif match["kind"] in ("shp", "tab"):
            check.target = match["dataset"]
        report.layers.append(check)
        checks.append(check)
        pairs.append((side, match))
    # The module's thread setting is the comparison's for this call only.
    saved = gdb.GEOFILEOPS_THREADS
    gdb.set_geofileops_threads(threads)
    try:
        verdicts = gdb._verify_layers(pairs)
    finally:
        gdb.set_geofileops_threads(saved)
    for check, verdict in zip(checks, verdicts):
        _fill(check, verdict)
    report.seconds = time.monotonic() - start
    return report


def _fill(check: LayerCheck, verdict: Dict[str, Any]) -> None:
    check.source_features = verdict["source_features"]
    check.target_features = verdict["target_features"]
    check.differences = verdict["differences"]
    check.shown = list(verdict["shown"])
    check.format = [tuple(k) for k in verdict["format"]]
    check.error = verdict["error"]
    if not verdict["source_found"] and check.error is None:
        check.error = "the layer is missing in the source"
    elif not verdict["target_found"] and check.error is None:
        check.error = "the layer is missing in the target"
    if (check.error or check.differences
            or check.source_features != check.target_features and not _split_points(check)):
        check.status = DIFFERS
    elif check.format:
        check.status = EQUAL_UP_TO_FORMAT
    else:
        check.status = IDENTICAL


def _split_points(check: LayerCheck) -> bool:
    """Whether the target holds more features only because a MapInfo file
    stores each point of a multipoint as a feature (every feature matched)."""
    return any(kind.startswith("multipoints stored") for kind, _ in check.format)
