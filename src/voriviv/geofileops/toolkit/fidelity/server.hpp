// What a PostgreSQL source's server says of a layer without sending its rows
// (internal to fidelity/). A file target's plan is made before its layer is
// written; for a table, one aggregate query tells what that plan must know
// of the values, so the layer is read once and never written twice.
#pragma once

#include <vector>

#include <gdal.h>

#include "toolkit/fidelity/scan.hpp"

namespace voriviv::geofileops::fidelity {

// Whether `src` is read through GDAL's PostgreSQL driver.
bool from_postgresql(GDALDatasetH src);

// Asks the server, in one aggregate query, the largest and smallest value of
// each number field and the longest text of each text field with a declared
// width, and records them in `stats` as if those values had been seen
// (largest/smallest; too_wide = 1 where one does not fit its field). Returns
// false, `stats` untouched, when the server cannot say (the query failed).
bool ask_server(GDALDatasetH src, OGRLayerH layer, const std::vector<FieldInfo> &fields,
                std::vector<FieldStats> &stats, TargetFormat target);

// The server's estimate of the layer's rows, from its catalog (no row is
// read): its statistics' count of live rows, else the planner's estimate;
// -1 when it has neither.
GIntBig estimated_rows(GDALDatasetH src, OGRLayerH layer);

}  // namespace voriviv::geofileops::fidelity
