// The final target of each layer of a call: claimed before any work, so
// that two layers never share one.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace voriviv::geofileops {

// The targets of one call: the first layer to claim a target owns it; a
// later layer landing on the same target fails, naming both layers and the
// target. Target names are compared as given (callers fold case first when
// the target does).
class TargetClaims {
public:
    // Throws RuntimeError (a Failure) when `target` was claimed by another layer.
    void claim(const std::string &target, const std::string &layer, const std::string &what);

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::string> owners_;
};

// ASCII lower case.
std::string ascii_lower(std::string s);

}  // namespace voriviv::geofileops
