#include "toolkit/core/layer_view.hpp"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <utility>

namespace voriviv::geofileops {

namespace {

// One source layer under another feature definition. Every call but
// GetLayerDefn goes to the source layer; features are given the view's
// definition, which has the same fields of the same types.
class ViewLayer final : public OGRLayer {
public:
    ViewLayer(OGRLayer *src, const std::vector<FieldWidth> &widths,
              std::function<void(OGRFeatureH)> watch, std::optional<GIntBig> count)
        : src_(src), defn_(src->GetLayerDefn()->Clone()), watch_(std::move(watch)),
          count_(count) {
        defn_->Reference();
        for (const FieldWidth &w : widths) {
            OGRFieldDefn *f = defn_->GetFieldDefn(w.index);
            if (f == nullptr) continue;
            f->SetWidth(w.width);
            f->SetPrecision(w.precision);
        }
        SetDescription(src->GetDescription());
    }
    ~ViewLayer() override { defn_->Release(); }

    OGRFeature *GetNextFeature() override {
        OGRFeature *f = src_->GetNextFeature();
        if (f != nullptr && watch_) watch_(OGRFeature::ToHandle(f));
        return adopt(f);
    }
    OGRFeature *GetFeature(GIntBig fid) override { return adopt(src_->GetFeature(fid)); }
    void ResetReading() override { src_->ResetReading(); }
    OGRErr SetNextByIndex(GIntBig i) override { return src_->SetNextByIndex(i); }
    OGRFeatureDefn *GetLayerDefn() override { return defn_; }
    // The count is never one that reads the layer (GDAL's translation asks
    // for it only for its progress report): the source's count at hand, the
    // given estimate, or -1, unknown.
    int TestCapability(const char *cap) override {
        if (EQUAL(cap, OLCFastFeatureCount)) return TRUE;
        return src_->TestCapability(cap);
    }

    const char *GetName() override { return src_->GetName(); }
    OGRwkbGeometryType GetGeomType() override { return src_->GetGeomType(); }
    OGRSpatialReference *GetSpatialRef() override { return src_->GetSpatialRef(); }
    GIntBig GetFeatureCount(int) override {
        return count_ ? *count_ : src_->GetFeatureCount(FALSE);
    }
    OGRErr GetExtent(OGREnvelope *env, int force) override { return src_->GetExtent(env, force); }
    OGRErr GetExtent(int geom, OGREnvelope *env, int force) override {
        return src_->GetExtent(geom, env, force);
    }
    const char *GetFIDColumn() override { return src_->GetFIDColumn(); }
    const char *GetGeometryColumn() override { return src_->GetGeometryColumn(); }
    OGRGeometry *GetSpatialFilter() override { return src_->GetSpatialFilter(); }
    void SetSpatialFilter(OGRGeometry *g) override { src_->SetSpatialFilter(g); }
    void SetSpatialFilter(int geom, OGRGeometry *g) override { src_->SetSpatialFilter(geom, g); }
    void SetSpatialFilterRect(double x0, double y0, double x1, double y1) override {
        src_->SetSpatialFilterRect(x0, y0, x1, y1);
    }
    void SetSpatialFilterRect(int geom, double x0, double y0, double x1, double y1) override {
        src_->SetSpatialFilterRect(geom, x0, y0, x1, y1);
    }
    OGRErr SetAttributeFilter(const char *where) override {
        return src_->SetAttributeFilter(where);
    }
    OGRErr SetIgnoredFields(const char **fields) override {
        // The source reads less; the view's definition says the same.
        const OGRErr err = src_->SetIgnoredFields(fields);
        if (err == OGRERR_NONE) OGRLayer::SetIgnoredFields(fields);
        return err;
    }
    char **GetMetadata(const char *domain) override { return src_->GetMetadata(domain); }
    const char *GetMetadataItem(const char *name, const char *domain) override {
        return src_->GetMetadataItem(name, domain);
    }
    OGRStyleTable *GetStyleTable() override { return src_->GetStyleTable(); }

private:
    OGRFeature *adopt(OGRFeature *f) {
        if (f != nullptr) f->SetFDefnUnsafe(defn_);
        return f;
    }

    OGRLayer *src_;
    OGRFeatureDefn *defn_;
    std::function<void(OGRFeatureH)> watch_;
    std::optional<GIntBig> count_;
};

// A dataset of one view layer, described and driven as its source so that
// the translation treats it as it treats the source.
class ViewDataset final : public GDALDataset {
public:
    ViewDataset(GDALDataset *src, OGRLayer *layer, const std::vector<FieldWidth> &widths,
                std::function<void(OGRFeatureH)> watch, std::optional<GIntBig> count) {
        SetDescription(src->GetDescription());
        poDriver = src->GetDriver();
        if (layer != nullptr)
            layer_ = std::make_unique<ViewLayer>(layer, widths, std::move(watch), count);
    }
    int GetLayerCount() override { return layer_ ? 1 : 0; }
    OGRLayer *GetLayer(int i) override { return i == 0 ? layer_.get() : nullptr; }
    int TestCapability(const char *) override { return FALSE; }

private:
    std::unique_ptr<ViewLayer> layer_;
};

}  // namespace

struct LayerView::Impl {
    ViewDataset ds;
    Impl(GDALDataset *src, OGRLayer *layer, const std::vector<FieldWidth> &widths,
         std::function<void(OGRFeatureH)> watch, std::optional<GIntBig> count)
        : ds(src, layer, widths, std::move(watch), count) {}
};

LayerView::LayerView(GDALDatasetH src, const std::string &layer,
                     const std::vector<FieldWidth> &widths,
                     std::function<void(OGRFeatureH)> watch, std::optional<GIntBig> count) {
    GDALDataset *ds = GDALDataset::FromHandle(src);
    impl_ = std::make_unique<Impl>(ds, ds->GetLayerByName(layer.c_str()), widths,
                                   std::move(watch), count);
}

LayerView::~LayerView() = default;

GDALDatasetH LayerView::get() const { return GDALDataset::ToHandle(&impl_->ds); }

}  // namespace voriviv::geofileops
