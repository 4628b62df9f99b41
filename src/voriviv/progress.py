"""Progress events of the conversions.

Every conversion method of ``GeoFileDatabase``, ``TabFileDatabase`` and
``ShapefileDatabase`` takes a keyword-only ``progress`` callable. It is called
on the thread that made the call (never on a worker thread) with one
:class:`LayerEvent` at a time. For each work item (a layer, a table or a file)
the events come in this order::

    started -> progress* -> finished | failed

``progress`` events are sent at most a few times a second per layer and only
when a count changed. An exception raised by the callable stops the conversion
the way Ctrl-C does: running translations are cancelled, queued layers never
start, and the exception is re-raised from the conversion method.

The same events go to the standard ``logging`` module under the logger
``voriviv``: INFO when a layer finished (with its feature count and time),
ERROR when one failed, WARNING for each GDAL warning (which also stays a
``RuntimeWarning``) and DEBUG for the GDAL translation options used. The
logger has only a ``NullHandler``: nothing is printed unless the application
configures logging.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Tuple

__all__ = ["LayerEvent", "EVENT_KINDS"]

EVENT_KINDS = ("started", "progress", "finished", "failed")



@dataclass(frozen=True)
class LayerEvent:
    """One step of one layer of a conversion.

    kind
        ``"started"``, ``"progress"``, ``"finished"`` or ``"failed"``.
    index
        Position of the work item in the call's list of items (layers,
        tables or files in the order the call processes them).
    items
        Number of work items in the call.
    layer
        The layer or table name; for a TAB or Shapefile source the file's
        stem.
    source, target
        What the layer is read from and written to: a table as
        ``schema.table``, a layer name inside a geodatabase, or a file path.
    done
        Features translated so far. In a ``"finished"`` event: the layer's
        feature count, as GDAL wrote them.
    total
        The source layer's feature count as GDAL counted it, or ``None`` while
        GDAL has not reported it (a ``"started"`` event, an empty layer).
    seconds
        Time since the layer started.
    error
        The exception of a ``"failed"`` event, else ``None``.
    warnings
        GDAL's warnings for this layer so far (each text once).
    """

    kind: str
    index: int
    items: int
    layer: str
    source: str
    target: str
    done: int = 0
    total: Optional[int] = None
    seconds: float = 0.0
    error: Optional[BaseException] = None
    warnings: Tuple[str, ...] = ()

    @property
    def fraction(self) -> Optional[float]:
        """done / total in [0, 1], or None when the total is not known."""
        if self.total is None:
            return None
        if self.total <= 0:
            return 1.0
        return min(1.0, self.done / self.total)
