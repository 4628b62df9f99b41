#include "toolkit/translate.hpp"

#include <cpl_string.h>
#include <gdal_utils.h>

#include "toolkit/dataset.hpp"

namespace geofileops {

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
    // Source layer names come last, as positional arguments.
    argv.push_back(layer);
    return argv;
}

namespace {
int CPL_STDCALL progress(double, const char *, void *data) {
    const auto *cancel = static_cast<const CancelToken *>(data);
    return cancel == nullptr || !cancel->cancelled.load(std::memory_order_relaxed);
}

struct OptionsHandle {
    GDALVectorTranslateOptions *p = nullptr;
    ~OptionsHandle() { if (p) GDALVectorTranslateOptionsFree(p); }
};
}  // namespace

GDALDatasetH vector_translate_open(const std::string &dest, GDALDatasetH src,
                                   const TranslateOptions &opts, WarningSink *sink,
                                   const CancelToken *cancel) {
    CPLStringList argv;
    for (const auto &a : opts.to_argv()) argv.AddString(a.c_str());

    ErrorScope scope(sink);
    OptionsHandle options{GDALVectorTranslateOptionsNew(argv.List(), nullptr)};
    scope.check(options.p, "Invalid vector translation options");
    GDALVectorTranslateOptionsSetProgress(options.p, progress,
                                          const_cast<CancelToken *>(cancel));
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

}  // namespace geofileops
