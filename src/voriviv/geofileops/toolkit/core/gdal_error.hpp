// GDAL error capture.
//
// GDAL reports problems through its error handler rather than through return
// values. An ErrorScope pushes a thread-local handler for the duration of one
// operation, collects every failure and warning raised on this thread, and
// turns the failures into one C++ exception (GdalError, which surfaces in
// Python as voriviv.GdalError, a RuntimeError carrying GDAL's own message and
// error number).
// Warnings are never errors: they are handed to a WarningSink that the calling
// thread later forwards to Python's `warnings` module.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace voriviv::geofileops {

// A GDAL failure; what() is GDAL's message, err_no GDAL's error number (a
// CPLErrorNum). Where GDAL failed without saying why (a null handle and no
// report), the text is our fixed message and the number the closest of GDAL's
// own (CPLE_OpenFailed for an open).
struct GdalError : std::runtime_error {
    explicit GdalError(const std::string &message, int err_no = kAppDefined)
        : std::runtime_error(message), err_no(err_no) {}
    int err_no;

    // GDAL's CPLE_AppDefined, CPLE_OpenFailed and CPLE_UserInterrupt
    // (cpl_error.h), named here so that callers need not include GDAL's headers.
    static constexpr int kAppDefined = 1;
    static constexpr int kOpenFailed = 4;
    static constexpr int kUserInterrupt = 9;
};

// Thread-safe collection of GDAL warning texts for one call. Distinct texts
// are kept once, in the order first seen.
class WarningSink {
public:
    void add(const std::string &msg);
    std::vector<std::string> take();

    // A warning of the item running on this thread: recorded with its
    // progress (core/progress.hpp) and added to `sink` (which may be null).
    // A held sink only collects: its warnings reach the item's progress when
    // they are announced again from it (work that may be done over).
    static void announce(WarningSink *sink, const std::string &msg);
    void hold() { held_ = true; }

private:
    std::mutex mutex_;
    std::vector<std::string> messages_;
    bool held_ = false;
};

// `text` with every byte that is not part of valid UTF-8 written as \xNN,
// so that GDAL's messages (which may quote a file's bytes in any encoding)
// always reach Python as GDAL wrote them, never as a decoding error.
std::string valid_utf8(const std::string &text);

// Names the layer that the current thread works on while alive: GDAL's
// failures raised and warnings collected on this thread meanwhile begin with
// "Layer '<name>': ", so a message of a many-layer call says whose it is.
class LayerLabel {
public:
    explicit LayerLabel(const std::string &layer);
    ~LayerLabel();
    LayerLabel(const LayerLabel &) = delete;
    LayerLabel &operator=(const LayerLabel &) = delete;

    // "Layer '<name>': " of the innermost label of this thread, or "".
    static std::string prefix();

private:
    std::string name_;
    const std::string *previous_;
};

// Captures GDAL's errors on the current thread while alive.
class ErrorScope {
public:
    explicit ErrorScope(WarningSink *sink = nullptr);
    ~ErrorScope();
    ErrorScope(const ErrorScope &) = delete;
    ErrorScope &operator=(const ErrorScope &) = delete;

    bool failed() const { return failed_; }

    // Throws GdalError with the collected failure messages, if any.
    void raise_if_failed() const;

    // For calls that return a handle: a null handle raises GDAL's failure, or
    // `fallback` (our own fixed text, with `err_no`) when GDAL reported nothing.
    template <class T>
    T *check(T *handle, const char *fallback, int err_no = GdalError::kAppDefined) const {
        if (handle == nullptr) {
            raise_if_failed();
            throw GdalError(fallback, err_no);
        }
        return handle;
    }

private:
    static void handler(int err_class, int err_no, const char *msg);
    static constexpr size_t kMaxFailures = 10;
    WarningSink *sink_;
    std::vector<std::string> failures_;
    int first_err_no_ = 0;  // error number of the first failure
    bool failed_ = false;
};

}  // namespace voriviv::geofileops
