// Verifying a conversion: one layer of the source read beside the layer the
// conversion made of it, feature by feature, each side read once.
//
// Every feature, field value and geometry of the two sides is compared.
// Where they differ in a way the target format forces and the conversion
// announces (blank text read back as NULL from a Shapefile, Z and M dropped
// by a MapInfo file, a multipoint written as several points, ...), the pair
// counts as equal up to the format, and the verdict counts each such kind of
// difference. Anything else is a difference, named by feature and field with
// both values.
//
// Coordinates are compared within the target's own resolution: exactly where
// the format stores doubles (Shapefiles, PostgreSQL), within the integer step
// of the bounds written into a MapInfo file, and within the resolution of a
// File Geodatabase's layer (its XYScale, ZScale and MScale).
//
// Features are matched by FID where the conversion keeps it (a PostgreSQL or
// File Geodatabase target: the source's FID, or its reading position + 1 when
// the source has no FID column, as a load numbers rows), else by order. The
// PostgreSQL side of an FID match is read in FID order, so that rows changed
// since the load still meet their source feature.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "toolkit/core/cancel.hpp"
#include "toolkit/core/gdal_error.hpp"
#include "toolkit/fidelity/fidelity.hpp"

namespace voriviv::geofileops {

// One side of a layer pair.
struct VerifySide {
    std::string dataset;  // a path, or PostgreSQL connection text
    std::string layer;
    TargetFormat format;  // the side's format (PostgreSQL, Shapefile, ...)
    std::string schema;   // PostgreSQL: the schema of the table
};

// A difference, as shown: which feature, which field ("geometry" for the
// geometry, "" for the feature itself), what it is, and both values.
struct VerifyDifference {
    std::string feature;
    std::string field;
    std::string what;
    std::string source_value;
    std::string target_value;
};

// What the comparison of one layer found.
struct LayerVerdict {
    bool source_found = false;
    bool target_found = false;
    long long source_features = 0;
    long long target_features = 0;
    // Features (or fields) that differ, and the first kMaxShown differences.
    long long differences = 0;
    std::vector<VerifyDifference> shown;
    // Kinds of difference the target format forces, with how many features
    // (or, for field declarations, fields) each concerns, in order first seen.
    std::vector<std::pair<std::string, long long>> format;
    std::string error;  // a side that could not be read: GDAL's message
};

// How many differences a verdict shows.
inline constexpr std::size_t kMaxShown = 5;

// Compares `source` with `target`. Failures to open or read a side are
// recorded in the verdict's `error`; a cancelled token stops the reading.
LayerVerdict verify_layer(const VerifySide &source, const VerifySide &target,
                          const CancelToken *cancel);

}  // namespace voriviv::geofileops
