#include "toolkit/filedb.hpp"

#include <string>
#include <vector>

#include <gdal.h>
#include <ogr_api.h>

#include <nanobind/stl/string.h>

#include "toolkit/connection.hpp"
#include "toolkit/dataset.hpp"
#include "toolkit/fidelity.hpp"
#include "toolkit/fsops.hpp"
#include "toolkit/layers.hpp"
#include "toolkit/module_setup.hpp"
#include "toolkit/names.hpp"
#include "toolkit/output_dir.hpp"
#include "toolkit/pg_load.hpp"
#include "toolkit/progress.hpp"
#include "toolkit/pg_session.hpp"
#include "toolkit/pyboundary.hpp"
#include "toolkit/runner.hpp"
#include "toolkit/staged_output.hpp"
#include "toolkit/translate.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace geofileops {
namespace {

// The bound object: its location, a pathlib.Path (public and writable, read
// by every method when it runs).
struct FileDatabase {
    nb::object path;
};

nb::object make_path(nb::handle value) {
    return nb::module_::import_("pathlib").attr("Path")(value);
}

bool truth(nb::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// The bytes the OS sees for a str (undecodable bytes of listed names survive
// the round trip through Python's surrogateescape).
std::string os_bytes(nb::handle str) {
    nb::object b = nb::steal(PyUnicode_EncodeFSDefault(str.ptr()));
    if (!b.is_valid()) throw nb::python_error();
    std::string out(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
    if (out.find('\0') != std::string::npos) throw nb::value_error("embedded null character");
    return out;
}

// os.fspath() of a path-like object, as OS bytes.
std::string os_path(nb::handle path) {
    nb::object fs = nb::steal(PyOS_FSPath(path.ptr()));
    if (!fs.is_valid()) throw nb::python_error();
    if (PyBytes_Check(fs.ptr())) {
        std::string out(PyBytes_AS_STRING(fs.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(fs.ptr())));
        if (out.find('\0') != std::string::npos) throw nb::value_error("embedded null character");
        return out;
    }
    return os_bytes(fs);
}

fs::Kind kind_without_gil(const std::string &path) {
    nb::gil_scoped_release nogil;
    return fs::kind_of(path);
}

void make_directories_without_gil(const std::string &path) {
    nb::gil_scoped_release nogil;
    fs::make_directories(path);
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
            nb::object name = nb::steal(PyUnicode_DecodeFSDefaultAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
            if (!name.is_valid()) throw nb::python_error();
            files.append(path / name);
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
        const std::string stem = os_bytes(p.attr("stem"));
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
    return open_vector_or(file, OpenFlags::ReadOnly, sink, (t.open_failure + file).c_str());
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
    if (layer == nullptr) throw GdalError(t.no_layer + file);
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
    translate_planned(staged.path(), src, std::move(opts), target_format(format.driver), sink,
                      &cancel);
    if (cancel.cancelled.load()) throw GdalError("Writing layer '" + layer + "' was interrupted");
    staged.commit();
}

// --- the object -----------------------------------------------------------

void construct(const FileDbTraits &t, FileDatabase *self, nb::handle path_arg, nb::handle mode) {
    require_exact(mode, &PyUnicode_Type, "mode");
    nb::object path = make_path(path_arg);
    if (PyUnicode_CompareWithASCIIString(mode.ptr(), "open") == 0 &&
        kind_without_gil(os_path(path)) == fs::Kind::Missing) {
        PyErr_SetObject(PyExc_FileNotFoundError, path.ptr());
        throw nb::python_error();
    }
    for (const FileFormat *f : {&t.own, &t.other})
        if (GDALGetDriverByName(f->driver) == nullptr)
            throw GdalError(std::string("GDAL ") + f->driver + " driver not available");
    new (self) FileDatabase{std::move(path)};
}

void cleanup_sidecar(nb::handle path_arg) {
    nb::object path = make_path(path_arg);
    const std::string stem = os_bytes(path.attr("stem"));
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
        return schema_name + "." + pg_table_label(layer, schema_name);
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
            const std::string table = pg_target_table(expected[i], schema_name);
            claims.claim(table, expected[i], "table " + schema_name + "." + table);
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
    Dataset listing;
    {
        nb::gil_scoped_release nogil;
        listing = open_pg_source(pg_conn, ctx.sink(), "Failed to open PostgreSQL source");
    }
    nb::object path = make_path(self.path);
    const std::string path_s = os_path(path);
    const std::string out_dir = kind_without_gil(path_s) == fs::Kind::Directory
                                    ? path_s
                                    : os_path(path.attr("parent"));
    make_directories_without_gil(out_dir);

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
        labels.push_back({layer, schema_prefix + layer, out_dir + "/" + layer + t.own.extension});
    run_reported(this_module(), progress, std::move(labels),
                 [&](std::size_t i, const CancelToken &cancel) {
        const std::string &layer = layers[i];
        Dataset src = open_pg_source(pg_conn, ctx.sink(), "Worker failed to open PostgreSQL source");
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
    const std::string out_dir = os_path(make_path(output_dir));
    make_directories_without_gil(out_dir);
    const nb::list file_list = resolve_files(t, self.path, tables);
    const std::vector<std::string> files = path_texts(file_list);
    auto file_of = [&](const std::string &layer) {
        return out_dir + "/" + layer + t.other.extension;
    };

    CallContext ctx;
    OutputDirectory out(out_dir, t.other.extension);
    run_reported(this_module(), progress, file_labels(file_list, file_of),
                 [&](std::size_t i, const CancelToken &cancel) {
        Dataset src = open_source(t, files[i], ctx.sink());
        const std::string layer = first_layer_name(t, src.get(), files[i], ctx.sink());
        progress_set_target(file_of(layer));
        write_layer(out, t.other, src.get(), layer, files[i], replace, ctx.sink(), cancel);
    });
    ctx.finish();
}

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto p : parts) out += p;
    return out;
}

}  // namespace

void bind_file_database(nb::module_ &m, const FileDbTraits &traits) {
    const FileDbTraits *t = &traits;
    const std::string noun = t->file_noun;
    const std::string nouns = noun + "s";
    const std::string own_ext = t->own.extension;
    const std::string other_ext = t->other.extension;
    const std::string other_noun = t->other.driver;

    nb::class_<FileDatabase> cls(m, t->class_name, nb::dynamic_attr(), t->class_doc);

    cls.def("__init__",
            [t](FileDatabase *self, nb::handle path, nb::handle mode) {
                construct(*t, self, path, mode);
            },
            nb::arg(t->path_attr).none(), "mode"_a.none() = "open",
            nb::sig(cat({"def __init__(self, ", t->path_attr,
                         ": PathLike, mode: str = 'open') -> None"}).c_str()),
            cat({"Description : Binds the object to a location of ", nouns,
                 ": one file or a directory. With mode 'open' the path must exist; any other "
                 "mode (such as 'create') skips that check. The GDAL drivers ", t->own.driver,
                 " and ", t->other.driver, " must be available."}).c_str());
    cls.def_rw(t->path_attr, &FileDatabase::path,
               cat({"Description : The location (pathlib.Path): one file or a directory of ",
                    nouns, "."}).c_str());

    // The static members are real staticmethod objects of the class.
    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    cls.attr("_pg_connection_string") = staticmethod(nb::cpp_function(
        [](nb::handle connection, nb::handle schema) {
            return pg_connection_string(connection, schema);
        },
        "connection"_a.none(), "schema"_a.none() = "public",
        nb::sig("def _pg_connection_string(connection: Union[str, Dict[str, Any]], "
                "schema: str = 'public') -> str"),
        "Description : GDAL PostgreSQL connection text from a ready string (returned as it is) "
        "or from a mapping with host, port (default 5432), dbname, user and password, "
        "restricted to schema."));
    cls.attr("_list_layers") = staticmethod(nb::cpp_function(
        [](nb::handle ds, nb::handle tables) {
            return list_layers(ds, tables, Membership::HashSet);
        },
        "ds"_a.none(), "tables"_a.none() = nb::none(),
        nb::sig("def _list_layers(ds, tables: Optional[Iterable[str]] = None) -> List[str]"),
        "Description : Layer names of an open dataset in index order, narrowed to the names in "
        "tables (copied once into a set) when tables is not empty."));
    cls.attr("_run_parallel") = staticmethod(nb::cpp_function(
        [](nb::handle items, nb::handle func) { run_python(this_module(), items, func); },
        "items"_a.none(), "func"_a.none(),
        nb::sig("def _run_parallel(items: Iterable[Any], func) -> None"),
        "Description : Calls func(item) for every item on up to GEOFILEOPS_THREADS threads; "
        "after all have ended, raises the first failure."));
    cls.attr("_cleanup_sidecar") = staticmethod(nb::cpp_function(
        &cleanup_sidecar, "path"_a.none(), nb::sig("def _cleanup_sidecar(path: Path) -> None"),
        "Description : Removes the earlier output of one layer: every regular file in the "
        "directory of path whose name is the stem of path, a dot and anything (links "
        "themselves, not their targets; directories stay)."));
    cls.def(t->iter_method,
            [t](const FileDatabase &self, nb::handle tables) {
                return resolve_files(*t, self.path, tables);
            },
            "tables"_a.none() = nb::none(),
            nb::sig(cat({"def ", t->iter_method,
                         "(self, tables: Optional[Iterable[str]] = None) -> List[Path]"}).c_str()),
            cat({"Description : The ", nouns, " to process: the bound path when it is a file, "
                 "else the entries of the directory named *", own_ext,
                 " (case-sensitive), sorted by name; narrowed to the stems in tables when "
                 "tables is not empty."}).c_str());

    cls.def(t->to_pg,
            [t](const FileDatabase &self, nb::handle connection, nb::handle schema,
                nb::handle overwrite, nb::handle tables, nb::handle progress) {
                to_pg(*t, self, connection, schema, overwrite, tables, progress);
            },
            "connection"_a.none(), nb::kw_only(), "schema"_a.none() = "public",
            "overwrite"_a.none() = false, "tables"_a.none() = nb::none(),
            "progress"_a.none() = nb::none(),
            nb::sig(cat({"def ", t->to_pg,
                         "(self, connection: Union[str, Dict[str, Any]], *, schema: str = "
                         "'public', overwrite: bool = False, tables: Optional[Iterable[str]] = "
                         "None, progress: Optional[Callable[[LayerEvent], Any]] = None) -> None"}).c_str()),
            cat({"Description : Loads each selected ", noun, " into the table <schema>.<layer> "
                 "of a PostgreSQL/PostGIS database, geometries promoted to multi-part types, "
                 "files in parallel. An existing table is replaced only with overwrite=True; "
                 "otherwise that file fails. The new table takes the old one's place only once "
                 "it is complete; a failed file leaves the old table as it was and no other. "
                 "Other tables are never touched. ", VORIVIV_PROGRESS_DOC}).c_str());
    cls.def(t->from_pg,
            [t](const FileDatabase &self, nb::handle connection, nb::handle schema,
                nb::handle tables, nb::handle overwrite, nb::handle progress) {
                from_pg(*t, self, connection, schema, tables, overwrite, progress);
            },
            "connection"_a.none(), nb::kw_only(), "schema"_a.none() = "public",
            "tables"_a.none() = nb::none(), "overwrite"_a.none() = true,
            "progress"_a.none() = nb::none(),
            nb::sig(cat({"def ", t->from_pg,
                         "(self, connection: Union[str, Dict[str, Any]], *, schema: str = "
                         "'public', tables: Optional[Iterable[str]] = None, overwrite: bool = "
                         "True, progress: Optional[Callable[[LayerEvent], Any]] = None) -> None"}).c_str()),
            cat({"Description : Exports each selected table of a PostgreSQL schema as <layer>",
                 own_ext, " into the bound directory (or, when the bound path is no directory, "
                 "into its parent, created if missing), tables in parallel. Each layer is written "
                 "aside and moved into place once complete; with overwrite the layer's other "
                 "earlier files are then removed. A failed layer leaves its earlier files as they "
                 "were. ", VORIVIV_PROGRESS_DOC}).c_str());
    cls.def(t->to_other,
            [t](const FileDatabase &self, nb::handle output_dir, nb::handle tables,
                nb::handle overwrite, nb::handle progress) {
                to_other(*t, self, output_dir, tables, overwrite, progress);
            },
            "output_dir"_a.none(), nb::kw_only(), "tables"_a.none() = nb::none(),
            "overwrite"_a.none() = true, "progress"_a.none() = nb::none(),
            nb::sig(cat({"def ", t->to_other,
                         "(self, output_dir: PathLike, *, tables: Optional[Iterable[str]] = None, "
                         "overwrite: bool = True, progress: Optional[Callable[[LayerEvent], Any]] "
                         "= None) -> None"}).c_str()),
            cat({"Description : Converts each selected ", noun, " into ", other_noun,
                 " format as <layer>", other_ext, " in output_dir (created if missing), named "
                 "after the file's first layer, files in parallel. Each layer is written aside and "
                 "moved into place once complete; with overwrite the layer's other earlier files "
                 "in output_dir are then removed. A failed layer leaves its earlier files as they "
                 "were. ", VORIVIV_PROGRESS_DOC}).c_str());
}

}  // namespace geofileops
