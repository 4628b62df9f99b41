#include "toolkit/core/translate.hpp"

#include <cpl_string.h>
#include <gdal_utils.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/core/progress.hpp"

namespace voriviv::geofileops {

std::vector<std::string> TranslateOptions::to_argv() const {
    std::vector<std::string> argv;
    if (!format.empty()) argv.insert(argv.end(), {"-f", format});
    if (!geometry_type.empty()) argv.insert(argv.end(), {"-nlt", geometry_type});
    if (!dimension.empty()) argv.insert(argv.end(), {"-dim", dimension});
    for (const auto &o : layer_creation) argv.insert(argv.end(), {"-lco", o});
    for (const auto &o : dataset_creation) argv.insert(argv.end(), {"-dsco", o});
    if (!access_mode.empty()) argv.push_back("-" + access_mode);
    if (preserve_fid) argv.push_back("-preserve_fid");
    if (unset_field_width) argv.push_back("-unsetFieldWidth");
    if (!map_field_types.empty()) {
        std::string joined;
        for (const auto &m : map_field_types) joined += (joined.empty() ? "" : ",") + m;
        argv.insert(argv.end(), {"-mapFieldType", joined});
    }
    if (!new_layer_name.empty()) argv.insert(argv.end(), {"-nln", new_layer_name});
    if (limit >= 0) argv.insert(argv.end(), {"-limit", std::to_string(limit)});
    if (single_transaction) argv.insert(argv.end(), {"-ds_transaction", "-gt", "unlimited"});
    if (!layer.empty() && layer[0] == '-') {
        // GDAL's option parser would take such a name for a switch; the
        // layer is selected by a query instead, and keeps its name.
        std::string quoted = "\"";
        for (char c : layer) {
            if (c == '"') quoted += '"';
            quoted += c;
        }
        quoted += '"';
        argv.insert(argv.end(), {"-dialect", "OGRSQL", "-sql", "SELECT * FROM " + quoted});
        if (new_layer_name.empty()) argv.insert(argv.end(), {"-nln", layer});
        return argv;
    }
    // Source layer names come last, as positional arguments.
    argv.push_back(layer);
    return argv;
}

namespace {
struct ProgressState {
    const CancelToken *cancel;
    const ErrorScope *scope;
};

// Counts the feature for the call's progress events, and stops the
// translation when the call is cancelled and at the first failure GDAL
// reported: the layer fails anyway, and a damaged source would otherwise be
// read to its end, failing feature after feature.
int CPL_STDCALL progress(double fraction, const char *, void *data) {
    progress_translation_step(fraction);
    const auto *state = static_cast<const ProgressState *>(data);
    if (state->scope->failed()) return FALSE;
    return state->cancel == nullptr || !state->cancel->cancelled.load(std::memory_order_relaxed);
}

struct OptionsHandle {
    GDALVectorTranslateOptions *p = nullptr;
    ~OptionsHandle() { if (p) GDALVectorTranslateOptionsFree(p); }
};
}  // namespace

GDALDatasetH vector_translate_open(const std::string &dest, GDALDatasetH src,
                                   const TranslateOptions &opts, WarningSink *sink,
                                   const CancelToken *cancel) {
    const std::vector<std::string> args = opts.to_argv();
    progress_translation_begin(args);
    CPLStringList argv;
    // GDAL calls the progress function (our counter and the cancel check)
    // only when asked to report progress.
    argv.AddString("-progress");
    for (const auto &a : args) argv.AddString(a.c_str());

    ErrorScope scope(sink);
    OptionsHandle options{GDALVectorTranslateOptionsNew(argv.List(), nullptr)};
    scope.check(options.p, "Invalid vector translation options");
    ProgressState state{cancel, &scope};
    GDALVectorTranslateOptionsSetProgress(options.p, progress, &state);
    int usage_error = FALSE;
    GDALDatasetH srcs[1] = {src};
    Dataset out(GDALVectorTranslate(dest.c_str(), nullptr, 1, srcs, options.p,
                                    &usage_error));
    if (!out) {
        scope.raise_if_failed();
        throw GdalError("Vector translation into '" + dest + "' failed");
    }
    scope.raise_if_failed();
    return out.release();
}

void vector_translate(const std::string &dest, GDALDatasetH src,
                      const TranslateOptions &opts, WarningSink *sink,
                      const CancelToken *cancel) {
    Dataset out(vector_translate_open(dest, src, opts, sink, cancel));
    ErrorScope scope(sink);
    out.close();  // flushes the destination; errors while writing surface here
    scope.raise_if_failed();
}

}  // namespace voriviv::geofileops
