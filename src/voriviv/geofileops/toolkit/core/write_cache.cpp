#include "toolkit/core/write_cache.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <cpl_error.h>
#include <cpl_vsi.h>
#include <cpl_vsi_virtual.h>

namespace voriviv::geofileops {

namespace {

constexpr std::size_t kPageSize = 64 * 1024;
constexpr std::size_t kPages = 16;  // 1 MiB of cache per open file

const std::size_t kPrefixLength = std::strlen(kWriteCachePrefix);

bool under_prefix(const char *path) {
    return std::strncmp(path, kWriteCachePrefix, kPrefixLength) == 0 &&
           path[kPrefixLength] == '/';
}

// The file system's own name of a cached path.
std::string real_path(const char *path) {
    return under_prefix(path) ? std::string(path + kPrefixLength) : std::string(path);
}

class CachedFile;

// Files open for writing through the cache, by their real path: looking at
// one of them by name (a stat, another open) first flushes it, so the file
// system tells what was written.
class OpenFiles {
public:
    void add(const std::string &path, CachedFile *f) {
        std::lock_guard<std::mutex> lock(mutex_);
        files_.emplace(path, f);
    }
    void remove(const std::string &path, CachedFile *f) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [first, last] = files_.equal_range(path);
        for (auto it = first; it != last; ++it)
            if (it->second == f) {
                files_.erase(it);
                return;
            }
    }
    void flush(const std::string &path);

private:
    std::mutex mutex_;
    std::unordered_multimap<std::string, CachedFile *> files_;
};

OpenFiles &open_files() {
    static OpenFiles *files = new OpenFiles;  // lives as long as GDAL's table
    return *files;
}

class CachedFile final : public VSIVirtualHandle {
public:
    CachedFile(std::string path, VSIVirtualHandle *file, vsi_l_offset size)
        : path_(std::move(path)), file_(file), size_(size), on_disk_(size) {
        pages_.reserve(kPages);
        open_files().add(path_, this);
    }
    ~CachedFile() override {
        if (file_ != nullptr) Close();
    }

    int Seek(vsi_l_offset offset, int whence) override {
        if (whence == SEEK_SET)
            pos_ = offset;
        else if (whence == SEEK_CUR)
            pos_ += offset;
        else if (whence == SEEK_END)
            pos_ = size_ + offset;
        else {
            errno = EINVAL;
            return -1;
        }
        eof_ = false;
        return 0;
    }

    vsi_l_offset Tell() override { return pos_; }

    size_t Read(void *buffer, size_t size, size_t count) override {
        if (size == 0 || count == 0) return 0;
        const vsi_l_offset wanted = static_cast<vsi_l_offset>(size) * count;
        const vsi_l_offset avail = pos_ < size_ ? std::min(wanted, size_ - pos_) : 0;
        char *out = static_cast<char *>(buffer);
        vsi_l_offset done = 0;
        while (done < avail) {
            const std::size_t in = static_cast<std::size_t>(pos_ % kPageSize);
            const std::size_t n =
                static_cast<std::size_t>(std::min<vsi_l_offset>(kPageSize - in, avail - done));
            Page *p = page(pos_ / kPageSize, false);
            if (p == nullptr) break;
            std::memcpy(out + done, p->data.get() + in, n);
            pos_ += n;
            done += n;
        }
        if (done < wanted) eof_ = true;
        return static_cast<size_t>(done / size);
    }

    size_t Write(const void *buffer, size_t size, size_t count) override {
        if (failed_ || size == 0 || count == 0) return 0;
        const vsi_l_offset wanted = static_cast<vsi_l_offset>(size) * count;
        const char *in_buf = static_cast<const char *>(buffer);
        vsi_l_offset done = 0;
        while (done < wanted) {
            const std::size_t in = static_cast<std::size_t>(pos_ % kPageSize);
            const std::size_t n =
                static_cast<std::size_t>(std::min<vsi_l_offset>(kPageSize - in, wanted - done));
            Page *p = page(pos_ / kPageSize, in == 0 && n == kPageSize);
            if (p == nullptr) break;
            std::memcpy(p->data.get() + in, in_buf + done, n);
            p->dirty_from = std::min(p->dirty_from, in);
            p->dirty_to = std::max(p->dirty_to, in + n);
            pos_ += n;
            done += n;
            size_ = std::max(size_, pos_);
        }
        return static_cast<size_t>(done / size);
    }

    int Eof() override { return eof_ ? 1 : 0; }

    int Flush() override {
        if (file_ == nullptr) return -1;
        const bool written = write_out();
        return written && file_->Flush() == 0 ? 0 : -1;
    }

    int Close() override {
        if (file_ == nullptr) return -1;
        open_files().remove(path_, this);
        const bool written = write_out();
        const int closed = file_->Close();
        delete file_;
        file_ = nullptr;
        pages_.clear();
        if (written && closed != 0) fail();
        return written && closed == 0 ? 0 : -1;
    }

    int Truncate(vsi_l_offset new_size) override {
        if (!write_out()) return -1;
        pages_.clear();
        last_ = nullptr;
        if (file_->Truncate(new_size) != 0) return -1;
        size_ = on_disk_ = new_size;
        return 0;
    }

    // Puts every written page into the file (for a look at it by name).
    void write_through() {
        if (file_ != nullptr && write_out()) file_->Flush();
    }

private:
    struct Page {
        vsi_l_offset index = 0;
        std::unique_ptr<char[]> data;
        std::size_t dirty_from = kPageSize, dirty_to = 0;  // empty when from >= to
        unsigned long long used = 0;
    };

    // Page `index`, read from the file unless the caller is about to write
    // all of it; null once the file failed.
    Page *page(vsi_l_offset index, bool overwritten_whole) {
        if (last_ != nullptr && last_->index == index) return last_;
        Page *p = nullptr;
        for (Page &q : pages_)
            if (q.index == index) p = &q;
        if (p == nullptr) {
            if (pages_.size() < kPages) {
                pages_.emplace_back();
                p = &pages_.back();
                p->data.reset(new char[kPageSize]);
            } else {
                p = &*std::min_element(pages_.begin(), pages_.end(),
                                       [](const Page &a, const Page &b) { return a.used < b.used; });
                if (!put(*p)) return nullptr;
            }
            p->index = index;
            p->dirty_from = kPageSize;
            p->dirty_to = 0;
            if (!fill(*p, overwritten_whole)) return nullptr;
        }
        p->used = ++clock_;
        last_ = p;
        return p;
    }

    // The page's bytes as the file holds them; zeros past its end (a file
    // read back past its end, or extended with a gap, holds zeros there).
    bool fill(Page &p, bool overwritten_whole) {
        const vsi_l_offset offset = p.index * kPageSize;
        std::size_t got = 0;
        if (!overwritten_whole && offset < on_disk_) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<vsi_l_offset>(kPageSize, on_disk_ - offset));
            if (file_->Seek(offset, SEEK_SET) != 0) return fail();
            got = file_->Read(p.data.get(), 1, want);
            if (got != want) return fail();
        }
        if (!overwritten_whole) std::memset(p.data.get() + got, 0, kPageSize - got);
        return true;
    }

    // Writes the page's changed bytes into the file.
    bool put(Page &p) {
        if (p.dirty_from >= p.dirty_to) return true;
        if (failed_) return false;
        const vsi_l_offset offset = p.index * kPageSize + p.dirty_from;
        const std::size_t n = p.dirty_to - p.dirty_from;
        if (file_->Seek(offset, SEEK_SET) != 0 ||
            file_->Write(p.data.get() + p.dirty_from, 1, n) != n)
            return fail();
        on_disk_ = std::max(on_disk_, offset + n);
        p.dirty_from = kPageSize;
        p.dirty_to = 0;
        return true;
    }

    // Every changed page into the file, in the order of their offsets.
    bool write_out() {
        std::vector<Page *> dirty;
        for (Page &p : pages_)
            if (p.dirty_from < p.dirty_to) dirty.push_back(&p);
        std::sort(dirty.begin(), dirty.end(),
                  [](const Page *a, const Page *b) { return a->index < b->index; });
        bool ok = true;
        for (Page *p : dirty) ok = put(*p) && ok;
        return ok && !failed_;
    }

    bool fail() {
        if (!failed_) {
            const int err = errno;
            failed_ = true;
            CPLError(CE_Failure, CPLE_FileIO, "Could not write %s: %s", path_.c_str(),
                     err != 0 ? std::strerror(err) : "write failed");
        }
        return false;
    }

    std::string path_;
    VSIVirtualHandle *file_;
    vsi_l_offset size_;     // the file's size as written so far
    vsi_l_offset on_disk_;  // how far the file on disk reaches
    vsi_l_offset pos_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    std::vector<Page> pages_;
    Page *last_ = nullptr;
    unsigned long long clock_ = 0;
};

void OpenFiles::flush(const std::string &path) {
    std::vector<CachedFile *> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [first, last] = files_.equal_range(path);
        for (auto it = first; it != last; ++it) open.push_back(it->second);
    }
    for (CachedFile *f : open) f->write_through();
}

// GDAL's file system entry for the prefix: writable opens get a CachedFile
// over the local file; everything else is the local file system's own.
class WriteCacheFilesystem final : public VSIFilesystemHandler {
public:
    VSIVirtualHandle *Open(const char *path, const char *access, bool set_error,
                           CSLConstList options) override {
        const std::string real = real_path(path);
        open_files().flush(real);
        VSIFilesystemHandler *local = VSIFileManager::GetHandler(real.c_str());
        const std::string mode = access ? access : "rb";
        const bool writes = mode.find('a') == std::string::npos &&
                            (mode[0] == 'w' || mode.find('+') != std::string::npos);
        if (!writes) return local->Open(real.c_str(), mode.c_str(), set_error, options);
        // Opened for reading too: the cache reads back the pages it must.
        std::string both = mode;
        if (both.find('+') == std::string::npos) both.insert(1, "+");
        VSIVirtualHandle *file = local->Open(real.c_str(), both.c_str(), set_error, options);
        if (file == nullptr) return nullptr;
        vsi_l_offset size = 0;
        if (mode[0] != 'w') {
            if (file->Seek(0, SEEK_END) != 0) {
                file->Close();
                delete file;
                return nullptr;
            }
            size = file->Tell();
            file->Seek(0, SEEK_SET);
        }
        return new CachedFile(real, file, size);
    }

    int Stat(const char *path, VSIStatBufL *buf, int flags) override {
        const std::string real = real_path(path);
        open_files().flush(real);
        return VSIStatExL(real.c_str(), buf, flags);
    }
    int Unlink(const char *path) override { return VSIUnlink(real_path(path).c_str()); }
    int Rename(const char *from, const char *to) override {
        return VSIRename(real_path(from).c_str(), real_path(to).c_str());
    }
    int Mkdir(const char *path, long mode) override {
        return VSIMkdir(real_path(path).c_str(), mode);
    }
    int Rmdir(const char *path) override { return VSIRmdir(real_path(path).c_str()); }
    char **ReadDirEx(const char *path, int max_files) override {
        return VSIReadDirEx(real_path(path).c_str(), max_files);
    }
    int IsCaseSensitive(const char *path) override {
        const std::string real = real_path(path);
        return VSIFileManager::GetHandler(real.c_str())->IsCaseSensitive(real.c_str());
    }
    GIntBig GetDiskFreeSpace(const char *path) override {
        return VSIGetDiskFreeSpace(real_path(path).c_str());
    }
    int SupportsSparseFiles(const char *path) override {
        return VSISupportsSparseFiles(real_path(path).c_str());
    }
};

}  // namespace

void install_write_cache() {
    const std::string key = std::string(kWriteCachePrefix) + "/";
    if (VSIFileManager::GetHandler(key.c_str()) != VSIFileManager::GetHandler("/"))
        return;  // installed already, by this module or another
    VSIFileManager::InstallHandler(key, new WriteCacheFilesystem);
}

std::string write_cached_path(const std::string &path) {
    return kWriteCachePrefix + std::filesystem::absolute(path).lexically_normal().string();
}

std::string without_write_cache_prefix(std::string text) {
    const std::string needle = std::string(kWriteCachePrefix) + "/";
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at))
        text.erase(at, kPrefixLength);
    return text;
}

}  // namespace voriviv::geofileops
