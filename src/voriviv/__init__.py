"""voriviv: a native geodata toolkit.

Subpackages and modules:

* ``voriviv.geofileops.gdb``, ``.tab``, ``.shp``: parallel GDAL conversions between
  File Geodatabases, PostgreSQL/PostGIS, MapInfo TAB files and Shapefiles.
* ``voriviv.pos``, ``voriviv.bounding_box``, ``voriviv.tileid``: WGS84 positions,
  NDS coordinates, NDS bounding boxes and packed tile ids.
* ``voriviv.progress``: the per-layer events every conversion reports to its
  ``progress`` callable (and to the ``voriviv`` logger); ``voriviv.report``: a
  record of a conversion built from them.
* ``voriviv.connection``: PostgreSQL connection text; ``voriviv.conversions``: the
  catalogue of conversions, running one, listing a location's layers;
  ``voriviv.jobs``: job files, run here or on Dask; ``voriviv.cli``: the
  ``voriviv`` command on top of them all. Imports point down only: cli, jobs,
  _dask, conversions, then connection, report, progress and errors.
"""

__version__ = "0.1.0"

import os as _os


def _use_bundled_data(environ=_os.environ, data_dir=None):
    """Points PROJ and GDAL at the data files a wheel carries in ``voriviv/_data``.

    Runs when the package is imported, before any converter module loads GDAL:
    PROJ reads ``PROJ_DATA`` (or the older ``PROJ_LIB``) whenever it creates a
    context, GDAL reads ``GDAL_DATA`` when it first needs a file, and both read
    the process environment that ``os.environ`` writes to. A variable that is
    already set wins; a package built from source against the system's GDAL
    has no ``_data`` folder and changes nothing. Returns what it set.
    """
    if data_dir is None:
        data_dir = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "_data")
    chosen = {}
    proj = _os.path.join(data_dir, "proj")
    if (not environ.get("PROJ_DATA") and not environ.get("PROJ_LIB")
            and _os.path.isfile(_os.path.join(proj, "proj.db"))):
        chosen["PROJ_DATA"] = proj
    gdal = _os.path.join(data_dir, "gdal")
    if not environ.get("GDAL_DATA") and _os.path.isdir(gdal) and _os.listdir(gdal):
        chosen["GDAL_DATA"] = gdal
    environ.update(chosen)
    return chosen


_use_bundled_data()

__all__ = ["GdalError"]


class GdalError(RuntimeError):
    """A failure that GDAL reported during a conversion.

    ``str(error)`` and ``error.message`` are GDAL's message (prefixed with
    ``Layer '<name>': `` when the failure belongs to one layer of a call);
    ``error.err_no`` is GDAL's error number (a ``CPLErrorNum``: 1 for an
    application-defined failure, 4 for a file that could not be opened,
    9 for an interruption, ...). Where GDAL failed without a report, the
    message is the converter's own and the number the closest of GDAL's.
    Failures that are the converters' own (a target already taken, a missing
    driver, an interrupted layer) are plain ``RuntimeError``; catching
    ``RuntimeError`` catches both.
    """

    def __init__(self, message: str, err_no: int = 1) -> None:
        super().__init__(message)
        self.message = message
        self.err_no = err_no

    def __reduce__(self):
        # Pickled with its number and any notes (process pools, Dask workers).
        return type(self), (self.message, self.err_no), self.__dict__


import logging as _logging

# Conversions report to the "voriviv" logger; nothing is printed unless the
# application configures logging.
_logging.getLogger("voriviv").addHandler(_logging.NullHandler())
del _logging
