// PostgreSQL connection information handed in from Python: the connection
// argument of the converters (a ready str or a mapping), and the probe that
// lets Ctrl-C interrupt a connection attempt.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace voriviv::geofileops {

// _pg_connection_string(connection, schema): a str connection is returned as
// the same object; a mapping is turned into connection text.
nanobind::object pg_connection_string(nanobind::handle connection, nanobind::handle schema);

// Connects once to the server of `gdal_text` on the calling thread, which
// holds the GIL, and closes again: a server that does not answer fails the
// call here after the connect timeout, and Ctrl-C interrupts the wait
// (KeyboardInterrupt), before GDAL's own connection attempt, which nothing
// can interrupt.
void probe_connection(const std::string &gdal_text);

}  // namespace voriviv::geofileops
