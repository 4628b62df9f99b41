// What a target format can hold, decided per layer before it is written.
//
// A translation with GDAL's defaults loses data that the target could have
// kept (a declared width too small for the layer's own values fails the whole
// layer; a TAB file rounds coordinates to MapInfo's default bounds: 0.01
// without a coordinate system, centimetres in a projected one; a TIN becomes
// an empty geometry) and loses, silently or with a warning that
// names neither layer nor count, what the target cannot hold. A LayerPlan
// fixes the first kind with translation options for that layer only, and
// announces the second kind: one warning per layer and field naming what was
// lost and for how many features.
//
// For a PostgreSQL target (plan_layer), planning reads the layer once when
// one of its fields needs a look at the values (attributes only, geometries
// are not read); layers whose fields the target holds as declared are not
// read. For Shapefiles and TAB files (translate_planned) nothing is read
// before the translation: the plan is made from the declared fields and
// types (and, for a table, the server's aggregates), the translation reads
// the layer through a LayerView that shows every feature to the plan, and a
// layer whose values turned out not to fit is written again.
#pragma once

#include <string>
#include <vector>

#include <gdal.h>

#include "toolkit/core/gdal_error.hpp"
#include "toolkit/core/layer_view.hpp"
#include "toolkit/core/translate.hpp"

namespace voriviv::geofileops {

enum class TargetFormat { PostgreSQL, Shapefile, MapInfo, FileGDB };

// The extra options of one layer's translation and what it announces.
struct LayerPlan {
    bool unset_field_width = false;           // -unsetFieldWidth
    std::vector<std::string> map_field_types; // -mapFieldType, e.g. "Binary=String"
    std::vector<std::string> layer_creation;  // appended to the -lco list
    std::string geometry_type;                // replaces -nlt when not empty
    std::string dimension;                    // -dim with it
    std::vector<std::string> warnings;        // full texts, layer and field named
    // Fields declared anew for the target (a Shapefile number field as wide
    // as the layer's values need); the translation then reads the layer
    // through a LayerView.
    std::vector<FieldWidth> field_widths;

    // Adds the plan's options to `opts`.
    void apply(TranslateOptions &opts) const;
};

// Plans the translation of `layer` of `src` into `target`. The layer is read
// at most once for its attributes and, when its declared geometry type says
// too little, once for its geometries; its reading is reset afterwards. A
// cancelled token stops the reading with GdalError("User terminated").
LayerPlan plan_layer(GDALDatasetH src, const std::string &layer, TargetFormat target,
                     WarningSink *sink, const CancelToken *cancel);

// plan_layer for a PostgreSQL target without reading attribute values: the
// plan of a layer whose every value fits its declared field. `unread` gets
// the indexes of the fields whose values plan_layer would have read; a writer
// that checks each of their values as it goes (fits_declared_width) and
// starts again with plan_layer at the first that does not fit reads the
// layer once instead of twice.
LayerPlan plan_layer_unread(GDALDatasetH src, const std::string &layer, WarningSink *sink,
                            const CancelToken *cancel, std::vector<int> &unread);

// Whether the value of field `i` of `feature` fits the field's declared
// width in PostgreSQL (a NULL fits).
bool fits_declared_width(OGRFeatureH feature, int i);

// Plans and translates: `opts` gets the plan's options, the plan's warnings
// go to `sink` (the same texts and counts whichever way the plan was made),
// and the layer is translated into `dest`, reading it once for a Shapefile
// or TAB target (see above).
void translate_planned(const std::string &dest, GDALDatasetH src, TranslateOptions opts,
                       TargetFormat target, WarningSink *sink, const CancelToken *cancel);

}  // namespace voriviv::geofileops
