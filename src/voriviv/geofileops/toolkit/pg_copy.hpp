// Loading one layer's rows into PostgreSQL through libpq's COPY.
//
// GDAL's PostgreSQL writer builds the spatial index before the first row and
// sends every row through one COPY stream. The fast load produces the same
// table faster:
//
//  1. GDAL creates the empty table: the layer's translation with exactly the
//     options of the GDAL load (and the layer's plan), limited to 0 features.
//     Columns, types, NOT NULL, primary key, sequence, geometry type, SRID,
//     comments and index are therefore GDAL's own.
//  2. The spatial index is dropped; the rows are sent through COPY, in the
//     text GDAL's writer would send (GDAL's own formatting of each field and
//     of the geometry), by one or several streams that each read a range of
//     the layer's features on a thread and a connection of their own.
//  3. The index is created again with its name and definition, and the FID
//     sequence is advanced to the largest FID, as GDAL does.
//
// Features keep the FIDs the GDAL load gives them: the source's FIDs when the
// source layer has a FID column (GDAL then preserves them), otherwise 1, 2,
// ... in reading order, assigned by the table's sequence as in GDAL's load, or
// written by the streams when a layer is split.
//
// What it does not cover goes through the GDAL translation: layers with more
// than one geometry field, curved, mesh (TIN, polyhedral surface) or triangle
// geometries, layers whose plan changes the geometry type, text that is not
// UTF-8 and connection text that libpq cannot use. The load is used only with
// GEOFILEOPS_PG_COPY=1 in the environment (see copy_enabled in pg_copy.cpp).
#pragma once

#include <string>

#include <gdal.h>

#include "toolkit/gdal_error.hpp"
#include "toolkit/translate.hpp"

namespace voriviv::geofileops {

// Loads `opts.layer` of `src` into the new table <schema>.<table> (which the
// call creates; `opts` are the options of the GDAL load: format, -nlt, -lco,
// ...) with up to `streams` COPY streams. Returns false, with nothing
// written, when the fast load does not cover the layer; the caller then
// translates it with GDAL. A failure or cancellation drops the table it
// created and throws.
bool pg_copy_layer(const std::string &dest, const std::string &schema, const std::string &table,
                   GDALDatasetH src, const TranslateOptions &opts, int streams,
                   WarningSink *sink, const CancelToken *cancel);


}  // namespace voriviv::geofileops
