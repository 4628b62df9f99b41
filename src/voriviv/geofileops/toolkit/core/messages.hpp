// The converters' own fixed texts, one constant each, so that a message is
// written (and changed) in one place. Texts that name a thing are built by the
// functions below from a fixed beginning or end.
#pragma once

#include <string>

namespace voriviv::geofileops::msg {

// The source of a layer could not be opened by the worker that converts it
// (the call itself opened it moments before).
inline constexpr char kWorkerOpenFailed[] = "Worker failed to open its source";
inline constexpr char kOpenGdbFailed[] = "Failed to open GDB";
inline constexpr char kCreateGdbFailed[] = "Failed to create GDB";
inline constexpr char kOpenPgFailed[] = "Failed to open PostgreSQL source";
inline constexpr char kEmbeddedNul[] = "embedded null character";
inline constexpr char kMaxWorkers[] = "max_workers must be greater than 0";
inline constexpr char kNotAGeodatabase[] =
    "Not a File Geodatabase or an empty directory; refusing to delete it";
inline constexpr char kUserTerminated[] = "User terminated";

// "GDAL <driver> driver not available"
inline std::string driver_missing(const std::string &driver) {
    return "GDAL " + driver + " driver not available";
}

// "Writing layer '<layer>' was interrupted"
inline std::string writing_interrupted(const std::string &layer) {
    return "Writing layer '" + layer + "' was interrupted";
}

// "mode must be None, 'update', 'append' or 'overwrite', not <repr>"
inline std::string bad_gdb_mode(const std::string &repr) {
    return "mode must be None, 'update', 'append' or 'overwrite', not " + repr;
}

// A layer whose table name was cut (pg/names.hpp, pg_target): the warning of its
// load, "Layer '<layer>' is loaded as table <schema>.<table>: PostgreSQL names
// hold at most 63 bytes, ...", and the note that a target collision message
// gives its table.
inline std::string pg_table_name_cut(const std::string &layer, const std::string &schema,
                                     const std::string &table) {
    return "Layer '" + layer + "' is loaded as table " + schema + "." + table +
           ": PostgreSQL names hold at most 63 bytes, and the table's name is cut to at most "
           "41 bytes to leave room for the names of its indexes and sequence";
}
inline constexpr char kPgTableNameCut[] =
    "the layer's name cut short, as PostgreSQL names hold at most 63 bytes";

}  // namespace voriviv::geofileops::msg
