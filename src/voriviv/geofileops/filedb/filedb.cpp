#include "filedb/filedb.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gdal.h>
#include <ogr_api.h>

#include <nanobind/stl/string.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/core/messages.hpp"
#include "toolkit/core/names.hpp"
#include "toolkit/core/progress.hpp"
#include "toolkit/core/translate.hpp"
#include "toolkit/fidelity/fidelity.hpp"
#include "toolkit/files/fsops.hpp"
#include "toolkit/files/output_dir.hpp"
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

namespace voriviv::geofileops {
namespace {

// The bound object: its location, a pathlib.Path (public and writable, read
// by every method when it runs).
struct FileDatabase {
    nb::object path;
};

fs::Kind kind_without_gil(const std::string &path) {
    nb::gil_scoped_release nogil;
    return fs::kind_of(path);
}

// The location's files in processing order: the bound path itself when it is
// a regular file, else the entries of the directory whose names end in the
// format's extension, sorted by name; narrowed to the stems in a truthy
// `tables` (copied once into a set).
nb::list resolve_files(const FileDbTraits &t, nb::handle bound_path, nb::handle tables) {
    nb::object path = make_path(bound_path);
    const std::string text = os_path(path);
    bool single = false;
    std::vector<std::string> names;
    {
        nb::gil_scoped_release nogil;
        single = fs::kind_of(text) == fs::Kind::Regular;
        if (!single) names = fs::names_with_suffix(text, t.own.extension);
    }
    nb::list files;
    if (single) {
        files.append(path);
    } else {
        for (const std::string &n : names) {
            files.append(path / os_text(n));
        }
    }
    if (!truth(tables)) return files;
    nb::object allow = nb::steal(PySet_New(tables.ptr()));
    if (!allow.is_valid()) throw nb::python_error();
    require_text_items(allow);
    nb::list kept;
    for (nb::handle f : files) {
        nb::object stem = f.attr("stem");
        const int member = PySet_Contains(allow.ptr(), stem.ptr());
        if (member < 0) throw nb::python_error();
        if (member) kept.append(f);
    }
    return kept;
}

// Progress labels of the location's files: the layer is the file's stem
// until the worker has read the file's first layer name.
std::vector<ItemLabel> file_labels(const nb::list &paths,
                                   const std::function<std::string(const std::string &)> &target) {
    std::vector<ItemLabel> labels;
    for (nb::handle p : paths) {
        const std::string stem = os_path(p.attr("stem"));
        labels.push_back({stem, os_path(p), target(stem)});
    }
    return labels;
}

std::vector<std::string> path_texts(const nb::list &paths) {
    std::vector<std::string> out;
    out.reserve(nb::len(paths));
    for (nb::handle p : paths) out.push_back(os_path(p));
    return out;
}

// The name of `file` without its directory and `extension`.
std::string file_stem(const std::string &file, const std::string &extension) {
    const auto slash = file.find_last_of('/');
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (name.size() > extension.size() && name.ends_with(extension))
        name.resize(name.size() - extension.size());
    return name;
}

// Opens one source file of the location; a null result without a GDAL error
// raises "<open_failure><path>".
Dataset open_source(const FileDbTraits &t, const std::string &file, WarningSink *sink) {
    // MapInfo's reader fetches its files a few bytes at a time (a third of
    // a TAB conversion's time went into those reads); the Shapefile reader
    // fetches whole records and gains nothing from the cache.
    std::optional<ReadCache> cached;
    if (t.own.driver == "MapInfo File") cached.emplace();
    return open_vector_or(file, OpenFlags::ReadOnly, sink, (t.open_failure + file).c_str(),
                          source_open_options(t.own.driver));
}

// Name of the first layer of a source file; a file without layers raises
// "<no_layer><path>".
std::string first_layer_name(const FileDbTraits &t, GDALDatasetH ds, const std::string &file,
                             WarningSink *sink) {
    ErrorScope scope(sink);
    const int count = GDALDatasetGetLayerCount(ds);
    scope.raise_if_failed();
    OGRLayerH layer = count > 0 ? GDALDatasetGetLayer(ds, 0) : nullptr;
    scope.raise_if_failed();
    if (layer == nullptr) throw Failure::runtime(t.no_layer + file);
    const char *name = OGR_L_GetName(layer);
    scope.raise_if_failed();
    return name ? name : "";
}

TargetFormat target_format(const std::string &driver) {
    return driver == "MapInfo File" ? TargetFormat::MapInfo : TargetFormat::Shapefile;
}

// Writes `layer` of `src` as one file set of `format` into `out`.
void write_layer(OutputDirectory &out, const FileFormat &format, GDALDatasetH src,
                 const std::string &layer, const std::string &source, bool overwrite,
                 WarningSink *sink, const CancelToken &cancel) {
    // Written aside and moved into place once complete (staged_output.hpp).
    StagedLayer staged(out, layer, source, overwrite);
    TranslateOptions opts;
    opts.format = format.driver;
    opts.layer = layer;
    LayerLabel label(layer);
    translate_planned(staged.driver_path(), src, std::move(opts), target_format(format.driver), sink,
                      &cancel);
    if (cancel.cancelled.load())
        throw Failure::runtime(msg::writing_interrupted(layer));
    staged.commit();
}

// --- the object -----------------------------------------------------------

void construct(const FileDbTraits &t, FileDatabase *self, nb::handle path_arg, nb::handle mode) {
    nb::object path = bound_location(path_arg, mode);
    for (const FileFormat *f : {&t.own, &t.other}) require_driver(f->driver.c_str());
    new (self) FileDatabase{std::move(path)};
}

void cleanup_sidecar(nb::handle path_arg) {
    nb::object path = make_path(path_arg);
    const std::string stem = os_path(path.attr("stem"));
    const std::string parent = os_path(path.attr("parent"));
    // An empty stem (the path "." or "/") would name every hidden file of
    // the parent; it names no layer, so nothing is removed.
    if (stem.empty()) return;
    nb::gil_scoped_release nogil;
    fs::remove_companions(parent, stem);
}

// --- the conversions ------------------------------------------------------

// <own> -> PostgreSQL: each selected file becomes <schema>.<first layer>.
void to_pg(const FileDbTraits &t, const FileDatabase &self, nb::handle connection,
           nb::handle schema, nb::handle overwrite, nb::handle tables, nb::handle progress) {
    require_exact(schema, &PyUnicode_Type, "schema");
    check_progress_arg(progress);
    const bool replace = truth(overwrite);
    const std::string pg_conn = with_connect_timeout(utf8(pg_connection_string(connection, schema)));
    const nb::list file_list = resolve_files(t, self.path, tables);
    const std::vector<std::string> files = path_texts(file_list);
    const std::string schema_name = utf8(schema);
    const PgLoad load{restrict_to_schema(pg_conn, schema_name), schema_name, replace,
                      threads_per_item(this_module(), files.size())};
    auto table_of = [&](const std::string &layer) {
        return schema_name + "." + pg_target_table(layer);
    };

    // Every file's table, from the layer name its file name gives, is
    // claimed before any work: a later file landing on an earlier file's
    // table fails instead of replacing or adding to it.
    TargetClaims claims;
    std::vector<std::string> expected(files.size());
    std::vector<std::exception_ptr> refused(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        expected[i] = file_stem(files[i], t.own.extension);
        try {
            claim_pg_table(claims, expected[i], schema_name);
        } catch (...) {
            refused[i] = std::current_exception();
        }
    }

    if (!files.empty()) probe_connection(pg_conn);
    CallContext ctx;
    run_reported(this_module(), progress, file_labels(file_list, table_of),
                 [&](std::size_t i, const CancelToken &cancel) {
        if (refused[i]) std::rethrow_exception(refused[i]);
        Dataset src = open_source(t, files[i], ctx.sink());
        const std::string layer = first_layer_name(t, src.get(), files[i], ctx.sink());
        progress_set_target(table_of(layer));
        PgLoad item = load;
        // A layer named otherwise than its file claims its own table now.
        if (layer != expected[i]) item.claims = &claims;
        pg_load_layer(item, src.get(), layer, ctx.sink(), &cancel);
    });
    ctx.finish();
}

// PostgreSQL -> <own>: each selected table becomes <layer><ext> in the bound
// directory, or next to the bound path when that is no directory.
void from_pg(const FileDbTraits &t, const FileDatabase &self, nb::handle connection,
             nb::handle schema, nb::handle tables, nb::handle overwrite, nb::handle progress) {
    require_exact(schema, &PyUnicode_Type, "schema");
    check_progress_arg(progress);
    const bool replace = truth(overwrite);
    const std::string pg_conn =
        text_for_schema(utf8(pg_connection_string(connection, schema)), utf8(schema));

    probe_connection(pg_conn);
    CallContext ctx;
    Dataset listing = without_gil(ctx, [&](WarningSink *sink) {
        return open_pg_source(pg_conn, sink, msg::kOpenPgFailed);
    });
    nb::object dir = make_path(self.path);
    if (kind_without_gil(os_path(dir)) != fs::Kind::Directory) dir = dir.attr("parent");
    const std::string out_dir = output_directory(dir);

    // The listing connection stays open (held by its Python wrapper) until
    // the call ends.
    nb::object listing_py = wrap_dataset(std::move(listing));
    std::vector<std::string> layers;
    for (nb::handle name : list_layers(listing_py, tables, Membership::HashSet))
        layers.push_back(utf8(name));

    OutputDirectory out(out_dir, t.own.extension);
    std::vector<ItemLabel> labels;
    const std::string schema_prefix = utf8(schema) + ".";
    for (const auto &layer : layers)
        labels.push_back({layer, schema_prefix + layer, out.path_of(layer)});
    run_reported(this_module(), progress, std::move(labels),
                 [&](std::size_t i, const CancelToken &cancel) {
        const std::string &layer = layers[i];
        Dataset src = open_pg_source(pg_conn, ctx.sink(), msg::kWorkerOpenFailed);
        write_layer(out, t.own, src.get(), layer, "the PostgreSQL source", replace, ctx.sink(),
                    cancel);
    });
    ctx.finish();
}

// <own> -> <other>: each selected file becomes <first layer><other ext> in
// `output_dir`.
void to_other(const FileDbTraits &t, const FileDatabase &self, nb::handle output_dir,
              nb::handle tables, nb::handle overwrite, nb::handle progress) {
    check_progress_arg(progress);
    const bool replace = truth(overwrite);
    OutputDirectory out(output_directory(output_dir), t.other.extension);
    const nb::list file_list = resolve_files(t, self.path, tables);
    const std::vector<std::string> files = path_texts(file_list);
    auto file_of = [&](const std::string &layer) { return out.path_of(layer); };

    CallContext ctx;
    run_reported(this_module(), progress, file_labels(file_list, file_of),
                 [&](std::size_t i, const CancelToken &cancel) {
        Dataset src = open_source(t, files[i], ctx.sink());
        const std::string layer = first_layer_name(t, src.get(), files[i], ctx.sink());
        progress_set_target(file_of(layer));
        write_layer(out, t.other, src.get(), layer, files[i], replace, ctx.sink(), cancel);
    });
    ctx.finish();
}

}  // namespace

void bind_file_database(nb::module_ &m, const FileDbTraits &traits) {
    const FileDbTraits *t = &traits;
    nb::class_<FileDatabase> cls(m, t->class_name.c_str(), nb::dynamic_attr());

    cls.def("__init__",
            [t](FileDatabase *self, nb::handle path, nb::handle mode) {
                construct(*t, self, path, mode);
            },
            // Called directly when the class is called (nanobind's construction
            // bypasses a Python __init__), so its parameters are the public ones.
            nb::arg(t->path_attr.c_str()).none(), "mode"_a.none() = "open");
    cls.def_rw(t->path_attr.c_str(), &FileDatabase::path);

    // The static members are real staticmethod objects of the class.
    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    cls.attr("_pg_connection_string") = staticmethod(nb::cpp_function(
        [](nb::handle connection, nb::handle schema) {
            return pg_connection_string(connection, schema);
        },
        "connection"_a.none(), "schema"_a.none()));
    cls.attr("_list_layers") = staticmethod(nb::cpp_function(
        [](nb::handle ds, nb::handle tables) {
            return list_layers(ds, tables, Membership::HashSet);
        },
        "ds"_a.none(), "tables"_a.none()));
    cls.attr("_run_parallel") = staticmethod(nb::cpp_function(
        [](nb::handle items, nb::handle func) { run_python(this_module(), items, func); },
        "items"_a.none(), "func"_a.none()));
    cls.attr("_cleanup_sidecar") =
        staticmethod(nb::cpp_function(&cleanup_sidecar, "path"_a.none()));
    cls.def(t->iter_method.c_str(),
            [t](const FileDatabase &self, nb::handle tables) {
                return resolve_files(*t, self.path, tables);
            },
            "tables"_a.none());

    cls.def(t->to_pg.c_str(),
            [t](const FileDatabase &self, nb::handle connection, nb::handle schema,
                nb::handle overwrite, nb::handle tables, nb::handle progress) {
                to_pg(*t, self, connection, schema, overwrite, tables, progress);
            },
            "connection"_a.none(), "schema"_a.none(), "overwrite"_a.none(), "tables"_a.none(),
            "progress"_a.none());
    cls.def(t->from_pg.c_str(),
            [t](const FileDatabase &self, nb::handle connection, nb::handle schema,
                nb::handle tables, nb::handle overwrite, nb::handle progress) {
                from_pg(*t, self, connection, schema, tables, overwrite, progress);
            },
            "connection"_a.none(), "schema"_a.none(), "tables"_a.none(), "overwrite"_a.none(),
            "progress"_a.none());
    cls.def(t->to_other.c_str(),
            [t](const FileDatabase &self, nb::handle output_dir, nb::handle tables,
                nb::handle overwrite, nb::handle progress) {
                to_other(*t, self, output_dir, tables, overwrite, progress);
            },
            "output_dir"_a.none(), "tables"_a.none(), "overwrite"_a.none(), "progress"_a.none());
}

}  // namespace voriviv::geofileops
