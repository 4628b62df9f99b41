"""A record of one conversion, built from its progress events.

:class:`Report` is itself a progress callable: pass it (or a function that
calls it) as ``progress=`` to any conversion method and it keeps, per layer,
what was read and written, how long it took, GDAL's warnings and the error.
``to_dict()`` / ``to_json()`` give the machine-readable form that
``voriviv ... --json`` prints::

    {"command": "gdb2pg", "source": "roads.gdb", "target": "PG:host=db ...",
     "status": "ok", "exit_code": 0, "seconds": 12.5, "threads": 4, "error": null,
     "layers": [{"layer": "roads", "source": "roads", "target": "gis.roads",
                 "status": "finished", "features_read": 1200, "features_written": 1200,
                 "total": 1200, "seconds": 3.2, "warnings": [], "error": null}],
     "features_read": 1200, "features_written": 1200}

``features_read`` is the number of source features GDAL translated;
``features_written`` is that number once the layer has arrived, and ``null``
for a layer that failed (what a failed translation leaves behind depends on
the target). Secrets (passwords) never appear: connection texts are masked.
"""
from __future__ import annotations

import json
import re
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Dict, List, Optional

from voriviv.progress import LayerEvent

__all__ = ["LayerRecord", "Report", "mask_secrets", "STATUS_EXIT_CODES"]

# Exit status of the command line for each status of a report.
STATUS_EXIT_CODES = {"ok": 0, "failed": 1, "usage": 2, "interrupted": 130}


@dataclass
class LayerRecord:
    """What happened to one layer (one work item) of a conversion."""

    index: int
    layer: str
    source: str
    target: str
    status: str = "running"          # running, finished or failed
    features_read: int = 0
    features_written: Optional[int] = None
    total: Optional[int] = None
    seconds: float = 0.0
    warnings: List[str] = field(default_factory=list)
    error: Optional[str] = None

    @property
    def fraction(self) -> Optional[float]:
        if self.status == "finished":
            return 1.0
        if self.total is None:
            return None
        return 1.0 if self.total <= 0 else min(1.0, self.features_read / self.total)


_PASSWORD_KEYWORD = re.compile(r"(password\s*=\s*)('(?:[^'\\]|\\.)*'|\S*)", re.I)
_URL_PASSWORD = re.compile(r"(postgres(?:ql)?://[^:/@\s]*:)([^@\s]*)(@)", re.I)


def mask_secrets(text: str) -> str:
    """A connection text with its password replaced by ``***``."""
    text = _PASSWORD_KEYWORD.sub(lambda m: m.group(1) + "***", text)
    return _URL_PASSWORD.sub(lambda m: m.group(1) + "***" + m.group(3), text)


class Report:
    """Collects the :class:`~voriviv.progress.LayerEvent` objects of a conversion.

    Calling the report with an event records it, then passes it on to
    ``forward`` (another progress callable) when one is given.
    """

    def __init__(self, command: str = "", source: str = "", target: str = "",
                 threads: Optional[int] = None,
                 forward: Optional[Callable[[LayerEvent], Any]] = None) -> None:
        self.command = command
        self.source = source
        self.target = target
        self.threads = threads
        self.forward = forward
        self.layers: Dict[int, LayerRecord] = {}
        self.status: Optional[str] = None   # set by finish()
        self.error: Optional[str] = None
        self.exception: Optional[BaseException] = None   # what the conversion raised
        self._start = time.monotonic()
        self.seconds = 0.0

    def __call__(self, event: LayerEvent) -> None:
        self.record(event)
        if self.forward is not None:
            self.forward(event)

    def record(self, event: LayerEvent) -> LayerRecord:
        rec = self.layers.get(event.index)
        if rec is None:
            rec = self.layers[event.index] = LayerRecord(event.index, event.layer, event.source,
                                                         event.target)
        rec.layer, rec.source, rec.target = event.layer, event.source, event.target
        rec.features_read = event.done
        rec.total = event.total
        rec.seconds = event.seconds
        rec.warnings = list(event.warnings)
        if event.kind == "finished":
            rec.status = "finished"
            rec.features_written = event.done
        elif event.kind == "failed":
            rec.status = "failed"
            rec.error = _one_line(event.error)
        self.seconds = time.monotonic() - self._start
        return rec

    # --- the outcome ---------------------------------------------------------

    def finish(self, error: Optional[BaseException] = None) -> str:
        """Closes the report after the conversion returned (error None) or raised;
        returns its status: ok, failed or interrupted."""
        self.seconds = time.monotonic() - self._start
        if isinstance(error, KeyboardInterrupt):
            self.status = "interrupted"
            self.error = "interrupted"
        elif error is not None or any(r.status == "failed" for r in self.layers.values()):
            self.status = "failed"
            if error is not None and not any(r.status == "failed" for r in self.layers.values()):
                self.error = _one_line(error)   # failed before any layer ran
        else:
            self.status = "ok"
        return self.status

    @property
    def exit_code(self) -> int:
        return STATUS_EXIT_CODES.get(self.status or "ok", 1)

    def records(self) -> List[LayerRecord]:
        """The layers in the call's order."""
        return [self.layers[i] for i in sorted(self.layers)]

    def running(self) -> List[LayerRecord]:
        return [r for r in self.records() if r.status == "running"]

    def to_dict(self) -> Dict[str, Any]:
        layers = []
        for r in self.records():
            d = asdict(r)
            del d["index"]
            d["seconds"] = round(d["seconds"], 3)
            layers.append(d)
        return {
            "command": self.command,
            "source": mask_secrets(self.source),
            "target": mask_secrets(self.target),
            "status": self.status,
            "exit_code": self.exit_code if self.status else None,
            "seconds": round(self.seconds, 3),
            "threads": self.threads,
            "error": self.error,
            "layers": layers,
            "features_read": sum(r.features_read for r in self.records()),
            "features_written": sum(r.features_written or 0 for r in self.records()),
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)


def _one_line(error: Optional[BaseException]) -> Optional[str]:
    """An exception as one line of text: its message, lines joined by '; '."""
    if error is None:
        return None
    text = str(error).strip()
    if not text:
        text = type(error).__name__
    elif isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.strerror}: {error.filename}"
    elif isinstance(error, FileNotFoundError):
        text = f"No such file or directory: {text}"
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())
