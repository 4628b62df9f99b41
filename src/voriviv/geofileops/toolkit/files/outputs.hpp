// Output names of one conversion call.
//
// Layer names become file names. A name that could leave the output
// directory (a path separator, ".", ".." or empty) is refused, and within one
// call each output name belongs to the first item that claims it, so a
// second source whose layer has the same name cannot overwrite the first.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace voriviv::geofileops {

// Throws ValueError (a Failure) naming the layer when `layer` cannot be
// used as a file name inside an output directory.
void require_safe_file_name(const std::string &layer);

class OutputClaims {
public:
    // Claims `name` for `source`. Returns the source that claimed it before,
    // or nothing when this claim is the first.
    std::optional<std::string> claim(const std::string &name, const std::string &source);

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::string> owners_;
};

// Claims `name` for `source` or throws RuntimeError naming the layer and both sources.
void claim_or_throw(OutputClaims &claims, const std::string &name, const std::string &layer,
                    const std::string &source);

}  // namespace voriviv::geofileops
