"""Description : Converters between File Geodatabases, PostgreSQL/PostGIS, MapInfo TAB files and Shapefiles.

Each converter module (``gdb``, ``tab``, ``shp``) is a native extension with its own
``GEOFILEOPS_THREADS`` worker-thread setting. Import the one you need, for example
``from voriviv.geofileops.gdb import GeoFileDatabase``.
"""
