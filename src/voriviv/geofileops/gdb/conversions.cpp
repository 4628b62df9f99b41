// The conversions of GeoFileDatabase: geodatabase -> PostgreSQL (gdb2pg),
// PostgreSQL -> geodatabase, plain (pg2gdb) or grouped into feature datasets
// (pg2gdbf), and geodatabase -> Shapefiles (gdb2shape).
//
// Each method prepares on the calling thread (argument checks, connection
// text, target preparation, the work-item list), then runs one native worker
// per item with the GIL released. Workers open their own GDAL datasets.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include <ogr_api.h>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "gdb/geofiledb.hpp"
#include "toolkit/core/dataset.hpp"
#include "toolkit/core/layer_view.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/core/names.hpp"
#include "toolkit/core/progress.hpp"
#include "toolkit/core/translate.hpp"
#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/fidelity/server.hpp"
#include "toolkit/files/fsops.hpp"
#include "toolkit/files/output_dir.hpp"
#include "toolkit/files/outputs.hpp"
#include "toolkit/files/staged_dir.hpp"
#include "toolkit/files/staged_output.hpp"
#include "toolkit/pg/conninfo.hpp"
#include "toolkit/pg/load.hpp"
#include "toolkit/pg/names.hpp"
#include "toolkit/pg/session.hpp"
#include "toolkit/py/connection.hpp"
#include "toolkit/py/layers.hpp"
#include "toolkit/py/module_setup.hpp"
#include "toolkit/py/progress.hpp"
#include "toolkit/py/pyboundary.hpp"
#include "toolkit/py/runner.hpp"
#include "toolkit/py/work_items.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace voriviv::geofileops;

namespace voriviv::geofileops::gdb {
namespace {

// The access mode of an export: "" for None (the geodatabase is created by
// the call), else one of GDAL's three. Anything else would be handed to GDAL
// as a command-line switch of its own, so it is refused up front.
std::string access_mode(nb::handle mode) {
    if (mode.is_none()) return "";
    if (PyUnicode_Check(mode.ptr())) {
        std::string m = utf8(mode);
        if (m == "update" || m == "append" || m == "overwrite") return m;
    }
    throw Failure::value(msg::bad_gdb_mode(utf8(nb::repr(mode))));
}

// A directory that GDAL's File Geodatabase driver wrote: it holds the
// system catalog table. One that cannot be looked into is none.
bool is_file_geodatabase(const std::string &path) {
    try {
        return fs::kind_of(path) == fs::Kind::Directory &&
               fs::kind_of(fs::join(path, "a00000001.gdbtable")) == fs::Kind::Regular;
    } catch (const OsError &) {
        return false;
    }
}

// Steps shared by pg2gdb and pg2gdbf after the source was opened. With mode
// None the geodatabase is created new: where one exists, the new one is
// built beside it (`staged`) and replaces it only when the call succeeds; an
// empty directory is replaced at once. Anything else at the path is kept and
// the call fails. In the other modes an existing geodatabase is opened for
// update instead of being created again (GDAL refuses to create over it).
// Returns the path the layers are written to.
std::string prepare_target(const GeoFileDatabase &self, bool mode_none, CallContext &ctx,
                           std::unique_ptr<StagedDirectory> &staged) {
    GDALDriverH driver = require_driver("OpenFileGDB");
    const std::string path = os_path(self.gdb_path);
    std::string target = path;
    if (mode_none && fs::kind_of(path) != fs::Kind::Missing) {
        if (!is_file_geodatabase(path) && !fs::is_empty_directory(path)) {
            PyObject *exc = PyObject_CallFunction(PyExc_FileExistsError, "isO", EEXIST,
                                                  msg::kNotAGeodatabase, self.gdb_path.ptr());
            if (exc == nullptr) throw nb::python_error();
            PyErr_SetObject(PyExc_FileExistsError, exc);
            Py_DECREF(exc);
            throw nb::python_error();
        }
        if (is_file_geodatabase(path)) {
            staged = std::make_unique<StagedDirectory>(path);
            target = staged->path();
        } else {
            nb::module_::import_("shutil").attr("rmtree")(self.gdb_path);
        }
    }
    return without_gil(ctx, [&](WarningSink *sink) {
        if (!mode_none && is_file_geodatabase(path)) {
            open_vector_or(path, OpenFlags::Update, sink, msg::kOpenGdbFailed);
            return target;
        }
        ErrorScope scope(sink);
        // Created and closed at once: the workers open it by path, and a handle
        // kept open here must not write a stale catalog over their layers.
        Dataset created(GDALCreate(driver, target.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        scope.check(created.get(), msg::kCreateGdbFailed);
        created.close();
        scope.raise_if_failed();
        return target;
    });
}

// How the items of a call are named in progress events.
std::vector<ItemLabel> labels_of(const std::vector<WorkName> &names, const std::string &source_prefix,
                                 const std::function<std::string(const std::string &)> &target) {
    std::vector<ItemLabel> labels;
    labels.reserve(names.size());
    for (const auto &w : names) {
        const std::string name = w.error ? std::string() : w.name;
        labels.push_back({name, source_prefix + name, target(name)});
    }
    return labels;
}

// Layers of at most this many features may be read into memory while
// another worker writes; larger ones wait for the geodatabase and stream.
constexpr GIntBig kStageMaxFeatures = 1000000;

// Reads `layer` of the PostgreSQL source into an in-memory dataset. The
// source's FID values are kept when it has an FID column, so that writing
// from memory gives what writing from the source would (same FID column
// name, same FID values, gaps included). Returns an empty Dataset, reading
// nothing, when the layer is too large to hold in memory.
Dataset stage_in_memory(GDALDatasetH src, const std::string &layer, std::string &fid_column,
                        WarningSink *sink, const CancelToken &cancel) {
    GIntBig rows;
    {
        ErrorScope scope(sink);
        OGRLayerH l = GDALDatasetGetLayerByName(src, layer.c_str());
        scope.raise_if_failed();
        if (l == nullptr) return Dataset();  // let the direct translation report it
        rows = fidelity::estimated_rows(src, l);
        scope.raise_if_failed();
        // Unknown, or too many: streamed once the geodatabase is free.
        if (rows < 0 || rows > kStageMaxFeatures) return Dataset();
        const char *fid = OGR_L_GetFIDColumn(l);
        fid_column = fid ? fid : "";
    }
    ProgressMute mute;  // the layer's progress counts its write
    TranslateOptions read;
    read.format = "Memory";
    read.layer = layer;
    read.preserve_fid = !fid_column.empty();
    const LayerView table(src, layer, {}, nullptr, rows);
    return Dataset(vector_translate_open("", table.get(), read, sink, &cancel));
}

// Removes from the geodatabase every layer whose name is not in `kept`. Used
// after a failed write only, so its own failures are not reported: the
// write's failure is the one the caller sees.
void remove_layers_not_in(const std::string &gdb_text, const std::vector<std::string> &kept) {
    try {
        ErrorScope scope(nullptr);
        Dataset gdb = open_vector(gdb_text, OpenFlags::Update, nullptr);
        if (!gdb) return;
        for (int i = GDALDatasetGetLayerCount(gdb.get()) - 1; i >= 0; --i) {
            OGRLayerH layer = GDALDatasetGetLayer(gdb.get(), i);
            if (layer == nullptr) continue;
            const std::string name = OGR_L_GetName(layer);
            if (std::find(kept.begin(), kept.end(), name) == kept.end())
                GDALDatasetDeleteLayer(gdb.get(), i);
        }
    } catch (...) {
    }
}

// One write into the geodatabase; the caller holds its lock. A write that
// fails or is cancelled takes away the layer it created, so that no layer
// that did not arrive whole stays behind looking complete. A layer that
// existed before (appended to, or replaced by GDAL's overwrite) is left as
// GDAL left it.
void write_layer_into(const std::string &gdb_text, GDALDatasetH src, const TranslateOptions &opts,
                      WarningSink *sink, const CancelToken &cancel) {
    std::vector<std::string> before;
    {
        Dataset gdb = open_vector_or(gdb_text, OpenFlags::ReadOnly, sink, msg::kOpenGdbFailed);
        before = layer_names(gdb.get(), sink);
    }
    try {
        vector_translate(gdb_text, src, opts, sink, &cancel);
    } catch (...) {
        remove_layers_not_in(gdb_text, before);
        throw;
    }
}

// Translates one PostgreSQL table into the geodatabase. Writes into one
// geodatabase never overlap (GDAL's writer loses layers when they do). While
// another worker writes, this one reads its table into memory meanwhile, so
// reading stays parallel; then it writes from memory. Appends always stream
// from the source: their FIDs and options must meet the existing layer.
void export_table(const std::string &gdb_text, GDALDatasetH src, TranslateOptions opts,
                  WarningSink *sink, const CancelToken &cancel) {
    std::unique_lock<std::mutex> lock(destination_mutex(gdb_text), std::try_to_lock);
    if (!lock.owns_lock() && opts.access_mode != "append") {
        std::string fid_column;
        Dataset staged = stage_in_memory(src, opts.layer, fid_column, sink, cancel);
        if (staged) {
            // What the source's FID column would have given implicitly.
            if (!fid_column.empty()) {
                opts.layer_creation.push_back("FID=" + fid_column);
                opts.preserve_fid = true;
            }
            lock.lock();
            write_layer_into(gdb_text, staged.get(), opts, sink, cancel);
            return;
        }
    }
    if (!lock.owns_lock()) lock.lock();
    // The translation's progress asks the layer for its count: the table's
    // is a full read on the server, the server's estimate costs nothing.
    GIntBig rows = -1;
    {
        ErrorScope scope(sink);
        if (OGRLayerH table = GDALDatasetGetLayerByName(src, opts.layer.c_str()))
            rows = fidelity::estimated_rows(src, table);
        scope.raise_if_failed();
    }
    const LayerView estimated(src, opts.layer, {}, nullptr, rows);
    write_layer_into(gdb_text, estimated.get(), opts, sink, cancel);
}

// What pg2gdb and pg2gdbf hold while they run: the connection text, the
// open source, the path written to and, when an existing geodatabase is
// replaced, its staged successor and the lock that keeps other mode-None
// calls on the same path waiting until it is in place.
struct ExportTarget {
    std::string access;  // access_mode(mode): "" creates the geodatabase anew
    std::string pg_conn;
    nb::object src_ds;
    std::string write_path;
    std::unique_ptr<StagedDirectory> staged;
    std::unique_lock<std::mutex> replace_lock;

    // Puts a staged geodatabase in place; call after every layer arrived.
    void finish() {
        if (!staged) return;
        nb::gil_scoped_release nogil;
        staged->commit();
        staged.reset();
    }
};

// The start of pg2gdb and pg2gdbf: the checks of schema, mode and progress,
// connection text, the source opened on the calling thread (a bad connection
// ends the call before anything on disk is touched), then the target prepared.
ExportTarget begin_export(nb::handle self_h, nb::handle connection, nb::handle schema,
                          nb::handle mode, nb::handle progress, CallContext &ctx) {
    const GeoFileDatabase &self = nb::cast<const GeoFileDatabase &>(self_h);
    require_exact(schema, &PyUnicode_Type, "schema");
    ExportTarget t;
    t.access = access_mode(mode);
    check_progress_arg(progress);
    const bool mode_none = t.access.empty();
    t.pg_conn = utf8(call_pg_connection_string(self_h, connection, schema));
    t.pg_conn = PyUnicode_Check(connection.ptr()) ? text_for_schema(t.pg_conn, utf8(schema))
                                                  : with_connect_timeout(t.pg_conn);
    probe_connection(t.pg_conn);
    t.src_ds = wrap_dataset(without_gil(ctx, [&](WarningSink *sink) {
        return open_pg_source(t.pg_conn, sink, msg::kOpenPgFailed);
    }));
    if (mode_none) {
        // Calls that create the geodatabase anew run one after the other.
        std::mutex &m = destination_mutex(os_path(self.gdb_path) + "\n(replace)");
        nb::gil_scoped_release nogil;
        t.replace_lock = std::unique_lock<std::mutex>(m);
    }
    t.write_path = prepare_target(self, mode_none, ctx, t.staged);
    return t;
}

void gdb2pg(nb::handle self_h, nb::handle connection, nb::handle schema, nb::handle overwrite_h,
            nb::handle tables, nb::handle progress) {
    const GeoFileDatabase &self = nb::cast<const GeoFileDatabase &>(self_h);
    const bool overwrite = truth(overwrite_h);
    require_exact(schema, &PyUnicode_Type, "schema");
    check_progress_arg(progress);
    CallContext ctx;
    nb::object src_ds = call_open_gdb(self_h);
    const std::string pg_conn =
        with_connect_timeout(utf8(call_pg_connection_string(self_h, connection)));
    require_driver("PostgreSQL");
    probe_connection(pg_conn);
    Dataset dst_ds = without_gil(ctx, [&](WarningSink *sink) {
        return open_vector(pg_conn, OpenFlags::Update, sink);
    });
    nb::object layers = call_list_layers(self_h, src_ds, tables);
    const auto names = work_names(layers, "layer_name");
    const std::string gdb_text = os_path(self.gdb_path);
    const std::string schema_text = utf8(schema);
    // Tables are written through a connection that sees only the target
    // schema, so a same-named table elsewhere is never dropped or written.
    const PgLoad load{restrict_to_schema(pg_conn, schema_text), schema_text, overwrite,
                      threads_per_item(this_module(), names.size())};
    // Every layer's table is claimed before any work: a later layer landing
    // on an earlier layer's table fails instead of replacing or adding to it.
    TargetClaims claims;
    std::vector<std::exception_ptr> refused(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].error) continue;
        try {
            claim_pg_table(claims, names[i].name, schema_text);
        } catch (...) {
            refused[i] = std::current_exception();
        }
    }
    auto labels = labels_of(names, "", [&](const std::string &layer) {
        return schema_text + "." + pg_target_table(layer);
    });
    run_reported(this_module(), progress, std::move(labels),
                 [&](std::size_t i, const CancelToken &cancel) {
        const std::string &layer = names[i].get();
        if (refused[i]) std::rethrow_exception(refused[i]);
        Dataset src = open_vector_or(gdb_text, OpenFlags::ReadOnly, ctx.sink(),
                                     msg::kWorkerOpenFailed);
        pg_load_layer(load, src.get(), layer, ctx.sink(), &cancel);
    });
    ctx.finish();
}

void pg2gdb(nb::handle self_h, nb::handle connection, nb::handle schema, nb::handle tables,
            nb::handle mode, nb::handle progress) {
    CallContext ctx;
    ExportTarget target = begin_export(self_h, connection, schema, mode, progress, ctx);
    const std::string &access = target.access;
    const std::string &pg_conn = target.pg_conn;
    nb::object layers = call_list_layers(self_h, target.src_ds, tables);
    const auto names = work_names(layers, "layer_name");
    const std::string &gdb_text = target.write_path;
    auto labels = labels_of(names, utf8(schema) + ".", [](const std::string &t) { return t; });
    run_reported(this_module(), progress, std::move(labels),
                 [&](std::size_t i, const CancelToken &cancel) {
        const std::string &layer = names[i].get();
        Dataset src = open_pg_source(pg_conn, ctx.sink(), msg::kWorkerOpenFailed);
        LayerLabel label(layer);
        TranslateOptions opts;
        opts.format = "OpenFileGDB";
        opts.layer = layer;
        // With mode None the call has just created the geodatabase, so the
        // layers are added to it.
        opts.access_mode = access.empty() ? "update" : access;
        export_table(gdb_text, src.get(), std::move(opts), ctx.sink(), cancel);
    });
    target.finish();
    ctx.finish();
}

struct FeatureTask {
    std::string dataset;
    WorkName table;
};

void pg2gdbf(nb::handle self_h, nb::handle connection, nb::handle feature_mapping,
             nb::handle schema, nb::handle mode, nb::handle progress) {
    require_exact(feature_mapping, &PyDict_Type, "feature_mapping");
    CallContext ctx;
    ExportTarget target = begin_export(self_h, connection, schema, mode, progress, ctx);
    const std::string &access = target.access;
    const std::string &pg_conn = target.pg_conn;
    std::vector<FeatureTask> tasks;
    for (auto [dataset, tables] : nb::borrow<nb::dict>(feature_mapping)) {
        const std::string dataset_text = utf8(nb::str(dataset));
        for (auto &table : work_names(tables, "table"))
            tasks.push_back({dataset_text, std::move(table)});
    }
    const std::string &gdb_text = target.write_path;
    std::vector<ItemLabel> labels;
    const std::string schema_prefix = utf8(schema) + ".";
    for (const auto &task : tasks) {
        const std::string table = task.table.error ? std::string() : task.table.name;
        labels.push_back({table, schema_prefix + table, task.dataset + "/" + table});
    }
    run_reported(this_module(), progress, std::move(labels),
                 [&](std::size_t i, const CancelToken &cancel) {
        const FeatureTask &task = tasks[i];
        const std::string &table = task.table.get();
        Dataset src = open_pg_source(pg_conn, ctx.sink(), msg::kWorkerOpenFailed);
        LayerLabel label(table);
        const std::string option = "FEATURE_DATASET=" + task.dataset;
        TranslateOptions opts;
        opts.format = "OpenFileGDB";
        opts.layer = table;
        opts.layer_creation = {option};
        if (access.empty()) {
            // The call created the geodatabase: add to it. Dataset creation
            // options mean nothing to an existing geodatabase (GDAL would
            // only warn that it ignores them), so they are not passed.
            opts.access_mode = "update";
        } else {
            opts.dataset_creation = {option};
            opts.access_mode = access;
        }
        export_table(gdb_text, src.get(), std::move(opts), ctx.sink(), cancel);
    });
    target.finish();
    ctx.finish();
}

void gdb2shape(nb::handle self_h, nb::handle output_dir, nb::handle tables, nb::handle progress) {
    const GeoFileDatabase &self = nb::cast<const GeoFileDatabase &>(self_h);
    check_progress_arg(progress);
    OutputDirectory outputs(output_directory(output_dir), ".shp");
    CallContext ctx;
    nb::object src_ds = call_open_gdb(self_h);
    nb::object layers = call_list_layers(self_h, src_ds, tables);
    const auto names = work_names(layers, "layer_name");
    const std::string gdb_text = os_path(self.gdb_path);
    auto labels = labels_of(names, "", [&](const std::string &layer) {
        return outputs.path_of(layer);
    });
    run_reported(this_module(), progress, std::move(labels),
                 [&](std::size_t i, const CancelToken &cancel) {
        const std::string &layer = names[i].get();
        Dataset src = open_vector_or(gdb_text, OpenFlags::ReadOnly, ctx.sink(),
                                     msg::kWorkerOpenFailed);
        // Written aside and moved into place once complete; the layer's
        // older companion files go then.
        StagedLayer staged(outputs, layer, gdb_text, true);
        LayerLabel label(layer);
        TranslateOptions opts;
        opts.format = "ESRI Shapefile";
        opts.layer = layer;
        translate_planned(staged.driver_path(), src.get(), std::move(opts), TargetFormat::Shapefile,
                          ctx.sink(), &cancel);
        if (cancel.cancelled.load())
            throw Failure::runtime(msg::writing_interrupted(layer));
        staged.commit();
    });
    ctx.finish();
}

}  // namespace

void bind_conversions(Class &cls) {
    cls.def("gdb2pg", &gdb2pg, "connection"_a.none(), "schema"_a.none(), "overwrite"_a.none(),
            "tables"_a.none(), "progress"_a.none())
        .def("pg2gdb", &pg2gdb, "connection"_a.none(), "schema"_a.none(), "tables"_a.none(),
             "mode"_a.none(), "progress"_a.none())
        .def("pg2gdbf", &pg2gdbf, "connection"_a.none(), "feature_mapping"_a.none(),
             "schema"_a.none(), "mode"_a.none(), "progress"_a.none())
        .def("gdb2shape", &gdb2shape, "output_dir"_a.none(), "tables"_a.none(),
             "progress"_a.none());
}

}  // namespace voriviv::geofileops::gdb
