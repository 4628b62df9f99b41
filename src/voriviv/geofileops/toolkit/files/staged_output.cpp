#include "toolkit/files/staged_output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "toolkit/core/errors.hpp"
#include "toolkit/files/fsops.hpp"

namespace voriviv::geofileops {

StagedLayer::StagedLayer(OutputDirectory &out, const std::string &layer,
                         const std::string &source, bool overwrite)
    : out_(out), layer_(layer), overwrite_(overwrite) {
    out_.claim(layer, source);
    std::string templ = fs::join(out_.dir(), ".vv_tmp_XXXXXX");
    if (mkdtemp(templ.data()) == nullptr) throw OsError{errno, out_.dir()};
    staging_ = templ;
    path_ = fs::join(staging_, layer + out_.extension());
}

StagedLayer::~StagedLayer() {
    if (staging_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(staging_, ec);
}

void StagedLayer::commit() {
    std::vector<std::string> names;
    {
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(staging_, ec))
            names.push_back(entry.path().filename().string());
        if (ec) throw OsError{ec.value(), staging_};
    }
    out_.install(layer_, staging_, names, overwrite_);
    committed_ = true;
}

}  // namespace voriviv::geofileops
