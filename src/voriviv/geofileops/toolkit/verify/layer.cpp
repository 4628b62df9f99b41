#include "toolkit/verify/verify.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <tuple>

#include <cpl_string.h>
#include <ogr_api.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/pg/session.hpp"
#include "toolkit/verify/compare.hpp"

namespace voriviv::geofileops {
namespace {

using verify::Notes;
using verify::Resolution;

struct FeatureDeleter {
    void operator()(OGRFeatureH f) const { if (f) OGR_F_Destroy(f); }
};
using Feature = std::unique_ptr<std::remove_pointer_t<OGRFeatureH>, FeatureDeleter>;

struct GeometryDeleter {
    void operator()(OGRGeometryH g) const { if (g) OGR_G_DestroyGeometry(g); }
};
using Geometry = std::unique_ptr<std::remove_pointer_t<OGRGeometryH>, GeometryDeleter>;

// One side, open: its dataset and the layer read from it (a table's rows in
// FID order come from a query, released with the side).
class OpenSide {
public:
    OpenSide(const VerifySide &side, bool fid_order, WarningSink *sink) {
        ErrorScope scope(sink);
        // A Shapefile's layer is measured when its shape type holds M values,
        // not only when its first shape has some (GDAL's default): M values
        // further on are read too. Those that say "no data" are left out
        // when compared (without_nodata_measures).
        static const char *const kShapefileOptions[] = {"ADJUST_GEOM_TYPE=NO", nullptr};
        ds_ = side.format == TargetFormat::PostgreSQL
                  ? open_pg_source(side.dataset, sink, "Cannot open the PostgreSQL database")
                  : open_vector_or(side.dataset, OpenFlags::ReadOnly, sink,
                                   "Cannot open the dataset",
                                   side.format == TargetFormat::Shapefile ? kShapefileOptions
                                                                          : nullptr);
        layer_ = GDALDatasetGetLayerByName(ds_.get(), side.layer.c_str());
        CPLErrorReset();  // a missing layer is the verdict's, not a failure
        if (layer_ == nullptr) return;
        const char *fid = OGR_L_GetFIDColumn(layer_);
        fid_column_ = fid ? fid : "";
        if (fid_order && side.format == TargetFormat::PostgreSQL && !fid_column_.empty()) {
            const std::string table = side.schema.empty()
                                          ? quote_ident(side.layer)
                                          : quote_ident(side.schema) + "." + quote_ident(side.layer);
            const std::string sql =
                "SELECT * FROM " + table + " ORDER BY " + quote_ident(fid_column_);
            query_ = GDALDatasetExecuteSQL(ds_.get(), sql.c_str(), nullptr, nullptr);
            scope.check(query_, "The table could not be read in FID order");
            layer_ = query_;
            // The query's layer may show the FID column as a field of its own.
            const char *seen = OGR_L_GetFIDColumn(query_);
            if (seen == nullptr || *seen == '\0')
                fid_field_ = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(query_), fid_column_.c_str());
        }
        scope.raise_if_failed();
    }
    ~OpenSide() {
        if (query_ != nullptr) GDALDatasetReleaseResultSet(ds_.get(), query_);
    }
    OpenSide(const OpenSide &) = delete;
    OpenSide &operator=(const OpenSide &) = delete;

    OGRLayerH layer() const { return layer_; }
    GDALDatasetH dataset() const { return ds_.get(); }
    bool has_fid_column() const { return !fid_column_.empty(); }
    // The field that holds the FID (-1: the FID is the feature's own).
    int fid_field() const { return fid_field_; }
    GIntBig fid(OGRFeatureH f) const {
        return fid_field_ >= 0 ? OGR_F_GetFieldAsInteger64(f, fid_field_) : OGR_F_GetFID(f);
    }

private:
    Dataset ds_;
    OGRLayerH layer_ = nullptr;
    OGRLayerH query_ = nullptr;
    std::string fid_column_;
    int fid_field_ = -1;
};

// The largest error of a coordinate read back from a MapInfo file, per axis,
// from the scales its .map header holds (worked out by the writer from the
// bounds). The writer stores round(coordinate * scale + displacement) as an
// integer: half a step, 0.5 / scale. GDAL's reader then divides back and
// rounds the result to the power of ten nearest the scale (10^round(log10
// scale)), another half of that power's step.
std::pair<double, double> mapinfo_tolerance(const std::string &tab_path) {
    std::string map_path = tab_path;
    const auto dot = map_path.find_last_of('.');
    if (dot == std::string::npos) return {0.0, 0.0};
    map_path = map_path.substr(0, dot) + (map_path[dot + 1] == 'T' ? ".MAP" : ".map");
    std::ifstream in(map_path, std::ios::binary);
    unsigned char header[0x190];
    if (!in.read(reinterpret_cast<char *>(header), sizeof header)) return {0.0, 0.0};
    auto i16 = [&](int at) { return int(header[at]) | int(header[at + 1]) << 8; };
    auto f64 = [&](int at) {
        double v;
        std::memcpy(&v, header + at, sizeof v);  // little-endian, as x86 and the file
        return v;
    };
    const int version = i16(0x104);
    // Files of version 100 scale by 10^precision instead.
    const double x_scale = version <= 100 ? std::pow(10.0, header[0x160]) : f64(0x170);
    const double y_scale = version <= 100 ? x_scale : f64(0x178);
    auto tolerance = [](double scale) {
        if (!(scale > 0) || !std::isfinite(scale)) return 0.0;
        const double rounding = std::pow(10.0, std::round(std::log10(scale)));
        return 0.5 / scale + 0.5 / rounding;
    };
    return {tolerance(x_scale), tolerance(y_scale)};
}

// The value of <tag> in a File Geodatabase layer's XML definition, or 0.
double xml_number(const std::string &xml, const std::string &tag) {
    const auto at = xml.find("<" + tag + ">");
    if (at == std::string::npos) return 0.0;
    return std::strtod(xml.c_str() + at + tag.size() + 2, nullptr);
}

// The definition (XML) of layer `name` in a File Geodatabase's catalog of
// items, or "".
std::string gdb_definition(GDALDatasetH ds, const std::string &name) {
    OGRLayerH items = GDALDatasetGetLayerByName(ds, "GDB_Items");
    if (items == nullptr) return "";
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(items);
    const int name_field = OGR_FD_GetFieldIndex(defn, "Name");
    const int definition = OGR_FD_GetFieldIndex(defn, "Definition");
    if (name_field < 0 || definition < 0) return "";
    OGR_L_ResetReading(items);
    std::string xml;
    while (OGRFeatureH f = OGR_L_GetNextFeature(items)) {
        if (EQUAL(OGR_F_GetFieldAsString(f, name_field), name.c_str()))
            xml = OGR_F_GetFieldAsString(f, definition);
        OGR_F_Destroy(f);
        if (!xml.empty()) break;
    }
    return xml;
}

Resolution resolution_of(const VerifySide &target, GDALDatasetH ds) {
    Resolution res;
    if (target.format == TargetFormat::MapInfo) {
        std::tie(res.x, res.y) = mapinfo_tolerance(target.dataset);
    } else if (target.format == TargetFormat::FileGDB) {
        // Coordinates are stored as integers of 1/XYScale (Z: 1/ZScale, M: 1/MScale).
        const std::string xml = gdb_definition(ds, target.layer);
        auto step = [&](const char *tag) {
            const double scale = xml_number(xml, tag);
            return scale > 0 ? 1.0 / scale : 0.0;
        };
        res.x = res.y = step("XYScale");
        res.z = step("ZScale");
        res.m = step("MScale");
    }
    return res;
}

// Source field i is written as target field pairs[i] (-1: missing).
struct FieldPairs {
    std::vector<int> target_of;
    std::vector<int> extra;  // target fields no source field made
};

// `s_fid`, `t_fid`: a side's field that holds its FID (-1: none), left out.
FieldPairs pair_fields(OGRFeatureDefnH s, OGRFeatureDefnH t, int s_fid, int t_fid,
                       TargetFormat target, LayerVerdict &v,
                       std::vector<std::pair<std::string, long long>> &counts) {
    const int ns = OGR_FD_GetFieldCount(s), nt = OGR_FD_GetFieldCount(t);
    FieldPairs p;
    p.target_of.assign(ns, -1);
    std::vector<bool> taken(nt, false);
    if (t_fid >= 0) taken[t_fid] = true;
    auto name_s = [&](int i) { return std::string(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(s, i))); };
    auto name_t = [&](int j) { return std::string(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(t, j))); };
    // Same name first, then a name the writer made of it, in the target's order.
    for (int pass = 0; pass < 3; ++pass)
        for (int i = 0; i < ns; ++i) {
            if (p.target_of[i] >= 0 || i == s_fid) continue;
            for (int j = 0; j < nt; ++j) {
                if (taken[j]) continue;
                const std::string a = name_s(i), b = name_t(j);
                const bool match = pass == 0   ? a == b
                                   : pass == 1 ? EQUAL(a.c_str(), b.c_str())
                                               : verify::laundered_as(a, b, target);
                if (match) {
                    p.target_of[i] = j;
                    taken[j] = true;
                    break;
                }
            }
        }
    long long laundered = 0, widened = 0;
    for (int i = 0; i < ns; ++i) {
        const int j = p.target_of[i];
        if (i == s_fid) {
            p.target_of[i] = -1;
            continue;
        }
        if (j < 0) {
            ++v.differences;
            if (v.shown.size() < kMaxShown)
                v.shown.push_back({"", name_s(i), "the field is missing in the target", "", ""});
            continue;
        }
        if (name_s(i) != name_t(j)) ++laundered;
        OGRFieldDefnH a = OGR_FD_GetFieldDefn(s, i), b = OGR_FD_GetFieldDefn(t, j);
        const int wa = OGR_Fld_GetWidth(a), wb = OGR_Fld_GetWidth(b);
        if (wa > 0 && (wb == 0 || wb > wa)) ++widened;
    }
    for (int j = 0; j < nt; ++j) {
        if (taken[j]) continue;
        // MapInfo files and Shapefiles need a field: a layer without any gets
        // one, "FID".
        if ((target == TargetFormat::MapInfo || target == TargetFormat::Shapefile) && ns == 0 &&
            nt == 1 && EQUAL(name_t(j).c_str(), "FID")) {
            counts.push_back({std::string("the field 'FID' a ") +
                                  (target == TargetFormat::MapInfo ? "MapInfo file" : "Shapefile") +
                                  " needs, added to a layer without fields",
                              1});
            continue;
        }
        p.extra.push_back(j);
        ++v.differences;
        if (v.shown.size() < kMaxShown)
            v.shown.push_back({"", name_t(j), "the field is not in the source", "", ""});
    }
    if (laundered > 0) counts.push_back({"field names laundered by the writer", laundered});
    if (widened > 0) counts.push_back({"declared field widths widened", widened});
    return p;
}

class LayerComparison {
public:
    LayerComparison(TargetFormat source, TargetFormat target, const Resolution &res,
                    const OpenSide &src, const OpenSide &dst, LayerVerdict &v)
        : source_shp_(source == TargetFormat::Shapefile),
          target_shp_(target == TargetFormat::Shapefile), target_(target), res_(res), v_(v) {
        OGRFeatureDefnH s = OGR_L_GetLayerDefn(src.layer()), t = OGR_L_GetLayerDefn(dst.layer());
        pairs_ = pair_fields(s, t, src.fid_field(), dst.fid_field(), target, v, v.format);
        for (int i = 0; i < OGR_FD_GetFieldCount(s); ++i)
            heads_.push_back("field '" + std::string(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(s, i))) +
                             "': ");
    }

    // Compares one source feature with the target feature(s) it became.
    // `geometry` replaces the source's geometry (a point of a split multipoint).
    void pair(OGRFeatureH s, OGRFeatureH t, OGRGeometryH geometry, const std::string &label,
              Notes &notes) {
        if (differ(s, t, geometry, &label, notes)) ++v_.differences;
    }

    // Whether `t` is what `s` became, nothing recorded.
    bool matches(OGRFeatureH s, OGRFeatureH t) {
        Notes scratch;
        return !differ(s, t, OGR_F_GetGeometryRef(s), nullptr, scratch);
    }

    void missing(OGRFeatureH s, const std::string &label) {
        ++v_.differences;
        show({label, "", "the feature is missing in the target", "", ""});
        (void)s;
    }

    void extra(OGRFeatureH t, const std::string &label) {
        ++v_.differences;
        show({label, "", "the feature is not in the source", "", ""});
        (void)t;
    }

    void count(const Notes &notes) {
        for (const auto &kind : notes.kinds) {
            auto it = std::find_if(v_.format.begin(), v_.format.end(),
                                   [&](const auto &e) { return e.first == kind; });
            if (it == v_.format.end()) v_.format.push_back({kind, 1});
            else ++it->second;
        }
    }

private:
    // Whether `s` (with `geometry`) and `t` differ; with a `label`, what
    // differs is shown.
    bool differ(OGRFeatureH s, OGRFeatureH t, OGRGeometryH geometry, const std::string *label,
                Notes &notes) {
        bool differs = false;
        for (std::size_t i = 0; i < pairs_.target_of.size(); ++i) {
            const int j = pairs_.target_of[i];
            if (j < 0) continue;
            const std::string why =
                verify::compare_value(s, int(i), t, j, target_, heads_[i], notes);
            if (why.empty()) continue;
            differs = true;
            if (label == nullptr) return true;
            show({*label, OGR_Fld_GetNameRef(OGR_F_GetFieldDefnRef(s, int(i))), why,
                  verify::value_text(s, int(i)), verify::value_text(t, j)});
        }
        OGRGeometryH g = OGR_F_GetGeometryRef(t);
        // A Shapefile's M values of "no data" are no M values (and values
        // below -1e38 written into one become "no data").
        Geometry own_s(source_shp_ || target_shp_ ? verify::without_nodata_measures(geometry)
                                                  : nullptr);
        Geometry own_t(target_shp_ ? verify::without_nodata_measures(g) : nullptr);
        if (own_s) geometry = own_s.get();
        if (own_t) g = own_t.get();
        const std::string why = verify::compare_geometry(geometry, g, target_, res_, notes);
        if (!why.empty()) {
            differs = true;
            if (label != nullptr)
                show({*label, "geometry", why, verify::geometry_text(geometry),
                      verify::geometry_text(g)});
        }
        return differs;
    }

    void show(VerifyDifference d) {
        if (v_.shown.size() < kMaxShown) v_.shown.push_back(std::move(d));
    }

    bool source_shp_, target_shp_;
    TargetFormat target_;
    Resolution res_;
    LayerVerdict &v_;
    FieldPairs pairs_;
    std::vector<std::string> heads_;
};

std::string fid_label(const char *side, GIntBig fid) {
    return std::string(side) + " FID " + std::to_string(fid);
}

// Reads a layer feature by feature, counting, stopping when cancelled.
class Reader {
public:
    Reader(OGRLayerH layer, long long &count, const CancelToken *cancel)
        : layer_(layer), count_(count), cancel_(cancel) {
        OGR_L_ResetReading(layer_);
    }
    Feature next() {
        if (cancel_ != nullptr && cancel_->cancelled.load(std::memory_order_relaxed))
            throw GdalError("User terminated", GdalError::kUserInterrupt);
        Feature f(OGR_L_GetNextFeature(layer_));
        if (f) ++count_;
        return f;
    }

private:
    OGRLayerH layer_;
    long long &count_;
    const CancelToken *cancel_;
};

// By FID: both sides ascend by key; a key on one side only is a feature
// missing or added.
void compare_by_key(Reader &src, Reader &dst, const OpenSide &s_side, const OpenSide &t_side,
                    bool source_fids, LayerComparison &cmp, const ErrorScope &scope) {
    Feature s = src.next(), t = dst.next();
    long long ordinal = 1;
    auto key_of_source = [&](OGRFeatureH f) { return source_fids ? s_side.fid(f) : ordinal; };
    while (s || t) {
        scope.raise_if_failed();
        const GIntBig ks = s ? key_of_source(s.get()) : 0, kt = t ? t_side.fid(t.get()) : 0;
        if (s && t && ks == kt) {
            Notes notes;
            cmp.pair(s.get(), t.get(), OGR_F_GetGeometryRef(s.get()), fid_label("source", s_side.fid(s.get())),
                     notes);
            cmp.count(notes);
            s = src.next(), ++ordinal;
            t = dst.next();
        } else if (s && (!t || ks < kt)) {
            cmp.missing(s.get(), fid_label("source", s_side.fid(s.get())));
            s = src.next(), ++ordinal;
        } else {
            cmp.extra(t.get(), fid_label("target", t_side.fid(t.get())));
            t = dst.next();
        }
    }
}

// By order; a multipoint arrives in a MapInfo file as one feature per point.
// A feature missing on one side (or added) would shift every later pair: where
// a pair differs, the next kLookAhead features of each side are looked
// through for the place where the two sides agree again, and the features
// skipped are named missing or added. Both sides hold at most kLookAhead + 1
// features at a time; after kMaxResyncs vain searches (a layer whose values
// differ throughout) pairs are no longer searched.
constexpr std::size_t kLookAhead = 16;
constexpr int kMaxResyncs = 64;

void compare_in_order(Reader &src, Reader &dst, TargetFormat target, LayerComparison &cmp,
                      const ErrorScope &scope) {
    struct Pending {
        Feature f;
        long long position;
    };
    std::deque<Pending> s_buf;
    std::deque<Feature> t_buf;
    long long read = 0;
    auto fill_source = [&](std::size_t n) {
        while (s_buf.size() < n) {
            Feature f = src.next();
            if (!f) return;
            s_buf.push_back({std::move(f), ++read});
        }
    };
    auto fill_target = [&](std::size_t n) {
        while (t_buf.size() < n) {
            Feature f = dst.next();
            if (!f) return;
            t_buf.push_back(std::move(f));
        }
    };
    auto label_of = [](const Pending &p) {
        return "feature " + std::to_string(p.position) + " (source FID " +
               std::to_string(OGR_F_GetFID(p.f.get())) + ")";
    };
    auto splits = [&](OGRFeatureH f) {
        OGRGeometryH g = OGR_F_GetGeometryRef(f);
        return target == TargetFormat::MapInfo && g != nullptr &&
               OGR_GT_Flatten(OGR_G_GetGeometryType(g)) == wkbMultiPoint &&
               OGR_G_GetGeometryCount(g) > 1;
    };
    int vain = 0;
    for (fill_source(1); !s_buf.empty(); fill_source(1)) {
        scope.raise_if_failed();
        OGRFeatureH s = s_buf.front().f.get();
        const std::string label = label_of(s_buf.front());
        OGRGeometryH g = OGR_F_GetGeometryRef(s);
        const bool split = splits(s);
        fill_target(1);
        if (!split && !t_buf.empty() && vain < kMaxResyncs && !cmp.matches(s, t_buf.front().get())) {
            fill_source(kLookAhead + 1);
            fill_target(kLookAhead + 1);
            std::size_t added = 0, missing = 0;
            for (std::size_t d = 1; d <= kLookAhead && added == 0 && missing == 0; ++d) {
                if (d < t_buf.size() && cmp.matches(s, t_buf[d].get())) added = d;
                else if (d < s_buf.size() && !splits(s_buf[d].f.get()) &&
                         cmp.matches(s_buf[d].f.get(), t_buf.front().get()))
                    missing = d;
            }
            if (added > 0 || missing > 0) {
                for (; added > 0; --added, t_buf.pop_front())
                    cmp.extra(t_buf.front().get(),
                              fid_label("target", OGR_F_GetFID(t_buf.front().get())));
                for (; missing > 0; --missing, s_buf.pop_front())
                    cmp.missing(s_buf.front().f.get(), label_of(s_buf.front()));
                continue;  // the pair that agrees is compared next
            }
            ++vain;
        }
        const int pieces = split ? OGR_G_GetGeometryCount(g) : 1;
        Notes notes;
        for (int k = 0; k < pieces; ++k) {
            fill_target(1);
            if (t_buf.empty()) {
                cmp.missing(s, label);
                break;
            }
            cmp.pair(s, t_buf.front().get(), split ? OGR_G_GetGeometryRef(g, k) : g, label, notes);
            t_buf.pop_front();
        }
        if (split) notes.add("multipoints stored as one point feature each");
        cmp.count(notes);
        s_buf.pop_front();
    }
    long long extra = 0;
    for (fill_target(1); !t_buf.empty(); t_buf.pop_front(), fill_target(1))
        if (++extra == 1) cmp.extra(t_buf.front().get(), fid_label("target", OGR_F_GetFID(t_buf.front().get())));
}

}  // namespace

LayerVerdict verify_layer(const VerifySide &source, const VerifySide &target,
                          const CancelToken *cancel) {
    LayerVerdict v;
    WarningSink quiet;
    try {
        // A target that keeps FIDs (or numbers rows as the source reads) is
        // matched by them; both sides are then read in FID order.
        const bool by_key =
            target.format == TargetFormat::PostgreSQL || target.format == TargetFormat::FileGDB;
        OpenSide src(source, by_key, &quiet);
        v.source_found = src.layer() != nullptr;
        OpenSide dst(target, by_key, &quiet);
        v.target_found = dst.layer() != nullptr;
        if (!v.source_found || !v.target_found) return v;
        ErrorScope scope(&quiet);
        const Resolution res = resolution_of(target, dst.dataset());
        LayerComparison cmp(source.format, target.format, res, src, dst, v);
        Reader s(src.layer(), v.source_features, cancel);
        Reader t(dst.layer(), v.target_features, cancel);
        if (by_key)
            compare_by_key(s, t, src, dst,
                           src.has_fid_column() || source.format == TargetFormat::FileGDB, cmp,
                           scope);
        else
            compare_in_order(s, t, target.format, cmp, scope);
        scope.raise_if_failed();
    } catch (const GdalError &e) {
        if (e.err_no == GdalError::kUserInterrupt) throw;
        v.error = e.what();
    } catch (const std::exception &e) {
        v.error = e.what();
    }
    return v;
}

}  // namespace voriviv::geofileops
