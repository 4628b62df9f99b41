#include "toolkit/core/names.hpp"

#include <cctype>

#include "toolkit/core/errors.hpp"

namespace voriviv::geofileops {

void TargetClaims::claim(const std::string &target, const std::string &layer,
                         const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, inserted] = owners_.emplace(target, layer);
    if (inserted) return;
    throw Failure::runtime("Layer '" + layer + "' was not written: it would land on " + what +
                    ", the target of layer '" + it->second + "'");
}

std::string ascii_lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace voriviv::geofileops
