// Loading one layer's rows into PostgreSQL through libpq's COPY.
//
// GDAL's PostgreSQL writer builds the spatial index before the first row and
// sends every row through one COPY stream. The fast load produces the same
// table faster:
//
//  1. GDAL creates the empty table: the layer's translation with exactly the
//     options of the GDAL load (and the layer's plan), limited to 0 features.
//     Its definition (columns, types, NOT NULL, defaults, primary key,
//     sequence, geometry type, SRID, comments, indexes) is read back from the
//     catalog as SQL, and the table dropped again at once.
//  2. One transaction on the load's own session (the one that claimed the
//     table's name and later swaps it into place) makes the table again from
//     that SQL, sends the rows through one COPY stream, then adds the primary
//     key and the spatial index on the rows and advances the FID sequence to
//     the largest FID, as GDAL does. A large layer is read and formatted in
//     parts on several threads (up to half the cores, or
//     VORIVIV_PG_COPY_PARTS: settings.hpp), whose rows share the stream. The
//     rows hold exactly what the server makes of the text GDAL's writer
//     would send: that text itself (GDAL's own formatting of each field and
//     of the geometry), or, where every column is an integer, a double, text
//     or the geometry, COPY's binary format with each value taken as the
//     server takes GDAL's text of it (VORIVIV_BENCH_PG_COPY_BINARY=0 keeps
//     every layer on text).
//  3. Nothing of the load is committed before its end: a load cut off at any
//     point (an error, Ctrl-C, a lost connection, a stopped server, a killed
//     process) leaves no table behind.
//
// Features keep the FIDs the GDAL load gives them: the source's FIDs when the
// source layer has a FID column (GDAL then preserves them), otherwise 1, 2,
// ... in reading order, assigned by the table's sequence as in GDAL's load, or
// written by the streams when a layer is split.
//
// What it does not cover goes through the GDAL translation: layers with more
// than one geometry field, curved, mesh (TIN, polyhedral surface) or triangle
// geometries, layers whose plan changes the geometry type, text that is not
// UTF-8, and tables with more than such a load creates (see read_definition
// in definition.cpp). VORIVIV_BENCH_PG_COPY=0 in the environment turns the
// COPY load off.
#pragma once

#include <string>

#include <gdal.h>

#include "toolkit/core/gdal_error.hpp"
#include "toolkit/core/translate.hpp"
#include "toolkit/pg/copy/settings.hpp"
#include "toolkit/pg/session.hpp"

namespace voriviv::geofileops {

// The new table <schema>.<table> a COPY load makes: GDAL creates it empty
// through `dest`; its definition is read, and its rows sent, through
// `session`, which must be idle and is left idle.
struct CopyTarget {
    PgSession &session;
    std::string dest;  // GDAL connection text restricted to `schema`
    std::string schema;
    std::string table;
};

// What a COPY load reads: `opts.layer` of `dataset`, read by up to `streams`
// threads. `opts` are the options of the GDAL load (format, -nlt, -lco, ...).
struct CopySource {
    GDALDatasetH dataset;
    const TranslateOptions &opts;
    int streams = 1;
};

// Loads the source layer into the target table (which the call creates).
// Returns false, with nothing written, when the fast load does not cover the
// layer or `settings.copy` is off; the caller then translates it with GDAL.
// A failure or cancellation leaves no table and throws.
bool pg_copy_layer(const CopyTarget &target, const CopySource &source,
                   const CopySettings &settings, WarningSink *sink, const CancelToken *cancel);

}  // namespace voriviv::geofileops
