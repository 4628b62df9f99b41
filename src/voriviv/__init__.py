"""voriviv: a native geodata toolkit.

Subpackages and modules:

* ``voriviv.geofileops.gdb``, ``.tab``, ``.shp``: parallel GDAL conversions between
  File Geodatabases, PostgreSQL/PostGIS, MapInfo TAB files and Shapefiles.
* ``voriviv.pos``, ``voriviv.bounding_box``, ``voriviv.tileid``: WGS84 positions,
  NDS coordinates, NDS bounding boxes and packed tile ids.
* ``voriviv.progress``: the per-layer events every conversion reports to its
  ``progress`` callable (and to the ``voriviv`` logger); ``voriviv.report``: a
  record of a conversion built from them; ``voriviv.cli``: the ``voriviv`` command.
"""

__version__ = "0.1.0"

import logging as _logging

# Conversions report to the "voriviv" logger; nothing is printed unless the
# application configures logging.
_logging.getLogger("voriviv").addHandler(_logging.NullHandler())
del _logging
