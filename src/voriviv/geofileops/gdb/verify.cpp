// _verify_layers: the comparison of layer pairs (toolkit/verify/), bound in
// the gdb module, whose thread setting it runs on. The Python face is
// voriviv.verify, which pairs the layers and makes the report.
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "gdb/geofiledb.hpp"
#include "toolkit/py/module_setup.hpp"
#include "toolkit/py/pyboundary.hpp"
#include "toolkit/py/runner.hpp"
#include "toolkit/pg/names.hpp"
#include "toolkit/verify/verify.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace voriviv::geofileops::gdb {
namespace {

TargetFormat format_of(const std::string &kind) {
    if (kind == "postgresql") return TargetFormat::PostgreSQL;
    if (kind == "gdb") return TargetFormat::FileGDB;
    if (kind == "shp") return TargetFormat::Shapefile;
    if (kind == "tab") return TargetFormat::MapInfo;
    throw Failure::value("unknown kind of layer '" + kind + "'");
}

VerifySide side_of(nb::handle d) {
    return {utf8(d["dataset"]), utf8(d["layer"]), format_of(utf8(d["kind"])),
            d.attr("get")("schema").is_none() ? std::string() : utf8(d["schema"])};
}

nb::dict dict_of(std::initializer_list<std::pair<const char *, nb::object>> items) {
    nb::dict d;
    for (const auto &[key, value] : items) d[key] = value;
    return d;
}

nb::dict verdict_dict(const LayerVerdict &v) {
    nb::list shown, format;
    for (const auto &s : v.shown)
        shown.append(dict_of({{"feature", nb::cast(s.feature)},
                              {"field", nb::cast(s.field)},
                              {"what", nb::cast(s.what)},
                              {"source", nb::cast(s.source_value)},
                              {"target", nb::cast(s.target_value)}}));
    for (const auto &[kind, count] : v.format) format.append(nb::make_tuple(kind, count));
    return dict_of({{"source_found", nb::cast(v.source_found)},
                    {"target_found", nb::cast(v.target_found)},
                    {"source_features", nb::cast(v.source_features)},
                    {"target_features", nb::cast(v.target_features)},
                    {"differences", nb::cast(v.differences)},
                    {"shown", shown},
                    {"format", format},
                    {"error", v.error.empty() ? nb::none() : nb::cast(v.error)}});
}

// pairs: a list of (source, target) dicts {"dataset", "layer", "kind",
// "schema"}; returns one verdict dict per pair, in order.
nb::list verify_layers(nb::handle pairs) {
    std::vector<std::pair<VerifySide, VerifySide>> work;
    for (nb::handle p : pairs) work.push_back({side_of(p[nb::int_(0)]), side_of(p[nb::int_(1)])});
    std::vector<LayerVerdict> verdicts(work.size());
    run_native(this_module(), work.size(), [&](std::size_t i, const CancelToken &cancel) {
        verdicts[i] = verify_layer(work[i].first, work[i].second, &cancel);
    });
    nb::list out;
    for (const auto &v : verdicts) out.append(verdict_dict(v));
    return out;
}

}  // namespace

void bind_verify(nb::module_ &m) {
    m.def("_verify_layers", &verify_layers, "pairs"_a.none());
    // The table a conversion loads a layer into, as the pairing names it.
    m.def("_pg_target_table", [](nb::handle layer) { return pg_target_table(utf8(layer)); },
          "layer"_a.none());
}

}  // namespace voriviv::geofileops::gdb
