// Loading one layer into PostgreSQL so that only <schema>.<table> is touched.
//
// GDAL's PostgreSQL driver, given a connection that is not restricted to the
// target schema, treats a same-named table in `public` as the layer to drop
// (OVERWRITE=YES) or append to (OVERWRITE=NO). Restricted to the target
// schema it no longer sees other schemas, but then OVERWRITE=NO appends to an
// existing table instead of failing. So a load writes through a connection
// restricted to the target schema and, when it may not overwrite, first
// checks that the table does not exist.
#pragma once

#include <string>

#include <gdal.h>

#include "toolkit/core/gdal_error.hpp"
#include "toolkit/core/translate.hpp"

namespace voriviv::geofileops {

class TargetClaims;

struct PgLoad {
    std::string dest;    // connection text restricted to `schema`
    std::string schema;
    bool overwrite = false;
    int streams = 1;     // COPY streams one layer may use
    // When set, the load claims its table here first (see names.hpp).
    TargetClaims *claims = nullptr;
};

// Translates `layer` of `src` into <schema>.<table> (pg/names.hpp, pg_target; a
// table whose name was cut is announced with one warning) with format PostgreSQL,
// PROMOTE_TO_MULTI and the layer creation options SCHEMA=<schema> and
// OVERWRITE=YES/NO, through COPY when the fast load covers the layer
// (copy/copy.hpp), else with GDAL's translation. Without overwrite an
// existing table fails the load with RuntimeError naming it, and the table
// is left as it was. A bad VORIVIV_PG_COPY_PARTS (copy/settings.hpp) fails
// it with Failure::value before anything is done. The claim, the COPY and the
// swap go through one session of our own (GDAL opens its own connections).
void pg_load_layer(const PgLoad &load, GDALDatasetH src, const std::string &layer,
                   WarningSink *sink, const CancelToken *cancel);

}  // namespace voriviv::geofileops
