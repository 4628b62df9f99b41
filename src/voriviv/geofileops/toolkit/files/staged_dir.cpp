#include "toolkit/files/staged_dir.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>

#include "toolkit/core/errors.hpp"

namespace voriviv::geofileops {

namespace {
std::pair<std::string, std::string> split(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.find_last_of('/');
    if (slash == std::string::npos) return {".", p};
    return {slash == 0 ? "/" : p.substr(0, slash), p.substr(slash + 1)};
}
}  // namespace

StagedDirectory::StagedDirectory(std::string final_path) : final_(std::move(final_path)) {
    const auto [parent, name] = split(final_);
    std::string templ = (parent == "/" ? "" : parent) + "/.vv_tmp_XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw OsError{errno, parent};
    staging_ = templ;
    path_ = staging_ + "/" + name;
}

StagedDirectory::~StagedDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(staging_, ec);
}

void StagedDirectory::commit() {
    // After the exchange the old directory sits where the new one was built
    // and goes with the staging directory.
    if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, final_.c_str(), RENAME_EXCHANGE) == 0)
        return;
    const std::string old = staging_ + "/.old";
    if (std::rename(final_.c_str(), old.c_str()) != 0) throw OsError{errno, final_};
    if (std::rename(path_.c_str(), final_.c_str()) != 0) {
        const int err = errno;
        std::rename(old.c_str(), final_.c_str());
        throw OsError{err, final_};
    }
}

}  // namespace voriviv::geofileops
