// A source dataset seen through other field definitions.
//
// GDAL's translation creates each target field from the source field's
// declaration. Where a declaration does not suit the target (a Shapefile
// number field too narrow for the layer's own values), a LayerView presents
// one layer of the source with some fields declared anew (width and
// precision only: names, types and order stay), and hands every feature
// through unchanged, showing it on its way to whoever watches (the fidelity
// plan gathers what it needs to know of the values so, while the layer is
// translated). Reading, filters and extents are the source layer's own; its
// feature count is one that costs nothing (the source's count at hand, or a
// given estimate; -1, unknown, where counting would read the layer).
//
// A view borrows the source dataset: the source outlives it, and both stay
// on the thread that opened the source.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gdal.h>

namespace voriviv::geofileops {

// A field declared anew: its index in the source layer, its width and
// precision.
struct FieldWidth {
    int index;
    int width;
    int precision;
};

class LayerView {
public:
    // A dataset with the one layer `layer` of `src`, its fields `widths`
    // declared anew. A missing layer gives a view with no layer (the
    // translation reports it as it reports any missing layer).
    //
    // `watch`, when given, is shown every feature read through the view
    // before it is handed on (on the reading thread).
    //
    // `count`, when given, is the feature count the view reports (an
    // estimate that costs nothing where the source's own count would read
    // it; -1: unknown), instead of the source's.
    LayerView(GDALDatasetH src, const std::string &layer, const std::vector<FieldWidth> &widths,
              std::function<void(OGRFeatureH)> watch = nullptr,
              std::optional<GIntBig> count = std::nullopt);
    ~LayerView();
    LayerView(const LayerView &) = delete;
    LayerView &operator=(const LayerView &) = delete;

    // The view as a dataset for GDAL's C API.
    GDALDatasetH get() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace voriviv::geofileops
