// A directory output (a File Geodatabase) built beside the one it replaces.
//
// The new directory is built at <parent>/.vv_tmp_XXXXXX/<name>; commit()
// exchanges it with the directory at the final path in one step where the
// file system can (renameat2 RENAME_EXCHANGE), else with two renames, and
// then removes the old one. Until commit() the old directory is exactly as it
// was; without commit() everything built is removed.
#pragma once

#include <string>

namespace voriviv::geofileops {

class StagedDirectory {
public:
    explicit StagedDirectory(std::string final_path);
    ~StagedDirectory();
    StagedDirectory(const StagedDirectory &) = delete;
    StagedDirectory &operator=(const StagedDirectory &) = delete;

    // Where the new directory is built (not created here).
    const std::string &path() const { return path_; }

    void commit();

private:
    std::string final_;
    std::string staging_;
    std::string path_;
};

}  // namespace voriviv::geofileops
