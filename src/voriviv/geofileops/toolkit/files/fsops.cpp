#include "toolkit/files/fsops.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "toolkit/core/errors.hpp"

namespace voriviv::geofileops::fs {

namespace {
bool missing_errno(int e) { return e == ENOENT || e == ENOTDIR || e == ELOOP || e == EBADF; }

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

// Every entry name of `dir` except . and .., in listing order. A missing
// directory gives an empty list when `missing_ok`.
std::vector<std::string> list_dir(const std::string &dir, bool missing_ok) {
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
    if (!d) {
        if (missing_ok && missing_errno(errno)) return {};
        throw OsError{errno, dir};
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d.get());
        if (e == nullptr) {
            if (errno != 0) throw OsError{errno, dir};
            break;
        }
        std::string_view n(e->d_name);
        if (n == "." || n == "..") continue;
        names.emplace_back(n);
    }
    return names;
}

// pathlib's parent of a normalised path text.
std::string parent_of(const std::string &path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    const auto end = path.find_last_not_of('/', slash);
    if (end == std::string::npos) return path.substr(0, slash + 1);  // "/" or "//"
    return path.substr(0, end + 1);
}
}  // namespace

bool is_empty_directory(const std::string &path) {
    std::unique_ptr<DIR, DirCloser> d(opendir(path.c_str()));
    if (!d) return false;
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d.get());
        if (e == nullptr) return errno == 0;
        std::string_view n(e->d_name);
        if (n != "." && n != "..") return false;
    }
}

Kind kind_of(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (missing_errno(errno)) return Kind::Missing;
        throw OsError{errno, path};
    }
    if (S_ISREG(st.st_mode)) return Kind::Regular;
    if (S_ISDIR(st.st_mode)) return Kind::Directory;
    return Kind::Other;
}

bool is_link(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string join(const std::string &dir, std::string_view name) {
    std::string out = dir;
    if (out.empty()) out = ".";
    if (out.back() != '/') out += '/';
    out += name;
    return out;
}

std::vector<std::string> names_with_suffix(const std::string &dir, std::string_view suffix) {
    std::vector<std::string> names = list_dir(dir, true);
    std::erase_if(names, [&](const std::string &n) { return !n.ends_with(suffix); });
    std::sort(names.begin(), names.end());
    return names;
}

void make_directories(const std::string &path) {
    if (mkdir(path.c_str(), 0777) == 0) return;
    const int err = errno;
    if (err == ENOENT) {
        const std::string parent = parent_of(path);
        if (parent == path) throw OsError{err, path};
        make_directories(parent);
        if (mkdir(path.c_str(), 0777) == 0) return;
        const int again = errno;
        if (kind_of(path) == Kind::Directory) return;
        throw OsError{again, path};
    }
    if (kind_of(path) == Kind::Directory) return;
    throw OsError{err, path};
}

bool is_companion(std::string_view name, std::string_view stem) {
    return name.size() > stem.size() && name.starts_with(stem) && name[stem.size()] == '.';
}

void remove_companions(const std::string &dir, std::string_view stem,
                       const std::function<bool(std::string_view)> &spare) {
    for (const std::string &name : list_dir(dir, true)) {
        if (!is_companion(name, stem)) continue;
        if (spare && spare(name)) continue;
        const std::string path = join(dir, name);
        const Kind kind = kind_of(path);
        // A dangling link goes too: left in place, the new output would be
        // written through it, wherever it points.
        if (kind != Kind::Regular && !(kind == Kind::Missing && is_link(path))) continue;
        if (unlink(path.c_str()) != 0) throw OsError{errno, path};
    }
}

}  // namespace voriviv::geofileops::fs
