// One GDAL vector translation: the C equivalent of an ogr2ogr invocation.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <gdal.h>

#include "toolkit/core/cancel.hpp"
#include "toolkit/core/gdal_error.hpp"

namespace voriviv::geofileops {


// The options a conversion passes, each mapping to one ogr2ogr switch.
// Unset optionals pass nothing.
struct TranslateOptions {
    std::string format;                          // -f
    std::string layer;                           // source layer (positional)
    std::string new_layer_name;                  // -nln
    bool single_transaction = false;             // -ds_transaction -gt unlimited
    std::string geometry_type;                   // -nlt
    std::string dimension;                       // -dim ("XYZ", ...)
    std::vector<std::string> layer_creation;     // -lco, in order
    std::vector<std::string> dataset_creation;   // -dsco, in order
    std::string access_mode;                     // "update"/"append"/"overwrite" -> -<mode>
    bool preserve_fid = false;                   // -preserve_fid
    bool unset_field_width = false;              // -unsetFieldWidth
    std::vector<std::string> map_field_types;    // -mapFieldType, joined by commas
    long long limit = -1;                        // -limit (features per layer), when >= 0

    std::vector<std::string> to_argv() const;
};

// Translates `src` into the destination name `dest` and closes the result,
// which flushes it. GDAL failures throw GdalError; warnings go to `sink`.
// A cancelled token makes GDAL stop at its next progress report.
void vector_translate(const std::string &dest, GDALDatasetH src,
                      const TranslateOptions &opts, WarningSink *sink,
                      const CancelToken *cancel);

// Same, but returns the destination still open (GDAL's handle; the caller
// closes it). For in-memory destinations, which vanish when closed.
GDALDatasetH vector_translate_open(const std::string &dest, GDALDatasetH src,
                                   const TranslateOptions &opts, WarningSink *sink,
                                   const CancelToken *cancel);

}  // namespace voriviv::geofileops
