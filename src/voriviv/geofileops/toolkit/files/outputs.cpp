#include "toolkit/files/outputs.hpp"

#include "toolkit/core/errors.hpp"
#include "toolkit/core/gdal_error.hpp"

namespace voriviv::geofileops {

void require_safe_file_name(const std::string &layer) {
    if (layer.empty() || layer == "." || layer == ".." ||
        layer.find('/') != std::string::npos || layer.find('\\') != std::string::npos ||
        layer.find('\0') != std::string::npos)
        throw Failure::value("Layer name '" + layer + "' cannot be used as a file name");
}

std::optional<std::string> OutputClaims::claim(const std::string &name, const std::string &source) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = owners_.emplace(name, source);
    if (inserted) return std::nullopt;
    return it->second;
}

void claim_or_throw(OutputClaims &claims, const std::string &name, const std::string &layer,
                    const std::string &source) {
    if (auto first = claims.claim(name, source))
        throw Failure::runtime("Layer '" + layer + "' of " + source + " has the same output name " +
                        name + " as a layer of " + *first + "; it was not written");
}

}  // namespace voriviv::geofileops
