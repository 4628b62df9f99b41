// Our own failures, as data: thrown anywhere (also without the GIL) and
// raised in Python by the boundary (py/pyboundary), which alone knows the
// Python types they become.
//
//   Failure -> the Python exception of its kind with our text: one of the
//              fixed messages (core/messages.hpp) or built from them;
//   OsError -> the matching OSError subclass with errno and file name.
// GDAL's own failures are GdalError (core/gdal_error.hpp), PostgreSQL's are
// PgError (pg/session.hpp).
#pragma once

#include <string>

namespace voriviv::geofileops {

struct Failure {
    enum class Kind { Runtime, Value, Type };
    Kind kind;
    std::string message;

    static Failure runtime(std::string m) { return {Kind::Runtime, std::move(m)}; }
    static Failure value(std::string m) { return {Kind::Value, std::move(m)}; }
};

// An error from the file system.
struct OsError {
    int err;
    std::string filename;
};

}  // namespace voriviv::geofileops
