"""Dump vector datasets as JSON with GDAL's own Python bindings.

Run by the tests in a separate interpreter (Debian's python3 with python3-gdal),
so conversion results are read by an independent reader, never by voriviv:

    python3 ogr_dump.py DATASET [LAYER ...] [--oo KEY=VALUE ...]

Prints {layer: {"srs": ..., "geom_type": ..., "fields": [[name, type, width,
precision], ...], "features": [{"fid":, "attrs": [value, ...], "geom": {...}}]}}.
Values are the ones GDAL reads: numbers as numbers, dates and binaries as GDAL's
text. A geometry is described by kind, emptiness, dimensions, area, length,
envelope and point count, enough to tell whether it survived a conversion.
"""
import json
import sys

from osgeo import gdal, ogr, osr

gdal.UseExceptions()


def _geom(g):
    if g is None:
        return None
    flat = ogr.GT_Flatten(g.GetGeometryType())
    lin = g.GetLinearGeometry() if g.HasCurveGeometry() else g
    env = lin.GetEnvelope3D() if not lin.IsEmpty() else None
    return {
        "type": ogr.GeometryTypeToName(flat),
        "empty": g.IsEmpty(),
        "z": bool(g.Is3D()),
        "m": bool(g.IsMeasured()),
        "area": lin.GetArea() if not lin.IsEmpty() else 0.0,
        "length": lin.Length() if hasattr(lin, "Length") and not lin.IsEmpty() else 0.0,
        "envelope": list(env) if env else None,
        "points": _count_points(g),
        "m_values": _m_values(g),
    }


def _count_points(g):
    n = g.GetPointCount()
    for i in range(g.GetGeometryCount()):
        n += _count_points(g.GetGeometryRef(i))
    return n


def _m_values(g):
    out = []
    if g.IsMeasured():
        for i in range(g.GetPointCount()):
            out.append(g.GetM(i))
    for i in range(g.GetGeometryCount()):
        out += _m_values(g.GetGeometryRef(i))
    return out


def _value(feat, i, defn):
    if not feat.IsFieldSet(i):
        return None
    if feat.IsFieldNull(i):
        return None
    t = defn.GetType()
    if t == ogr.OFTInteger or t == ogr.OFTInteger64:
        return feat.GetFieldAsInteger64(i)
    if t == ogr.OFTReal:
        return feat.GetFieldAsDouble(i)
    if t == ogr.OFTBinary:
        return feat.GetFieldAsBinary(i).hex()
    return feat.GetFieldAsString(i)


def dump(name, layers, open_options):
    ds = gdal.OpenEx(name, gdal.OF_VECTOR, open_options=open_options)
    out = {}
    names = layers or [ds.GetLayer(i).GetName() for i in range(ds.GetLayerCount())]
    for lname in names:
        lyr = ds.GetLayerByName(lname)
        ld = lyr.GetLayerDefn()
        srs = lyr.GetSpatialRef()
        fields = []
        for i in range(ld.GetFieldCount()):
            fd = ld.GetFieldDefn(i)
            fields.append([fd.GetName(), fd.GetFieldTypeName(fd.GetType()), fd.GetWidth(),
                           fd.GetPrecision()])
        feats = []
        for f in lyr:
            feats.append({
                "fid": f.GetFID(),
                "attrs": [_value(f, i, ld.GetFieldDefn(i)) for i in range(ld.GetFieldCount())],
                "geom": _geom(f.GetGeometryRef()),
            })
        out[lname] = {
            "srs": srs.ExportToProj4() if srs is not None else None,
            "srs_name": srs.GetName() if srs is not None else None,
            "geom_type": ogr.GeometryTypeToName(ld.GetGeomType()),
            "fields": fields,
            "features": feats,
        }
    return out


def main(argv):
    oo, rest = [], []
    it = iter(argv)
    for a in it:
        if a == "--oo":
            oo.append(next(it))
        else:
            rest.append(a)
    json.dump(dump(rest[0], rest[1:], oo), sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
