"""voriviv: a native geodata toolkit.

Subpackages and modules:

* ``voriviv.geofileops.gdb``, ``.tab``, ``.shp``: parallel GDAL conversions between
  File Geodatabases, PostgreSQL/PostGIS, MapInfo TAB files and Shapefiles.
* ``voriviv.pos``, ``voriviv.bounding_box``, ``voriviv.tileid``: WGS84 positions,
  NDS coordinates, NDS bounding boxes and packed tile ids.
"""

__version__ = "0.1.0"
