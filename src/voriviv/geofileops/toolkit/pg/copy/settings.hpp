// The environment's settings of the COPY load, read in this one place.
//
//   VORIVIV_PG_COPY_PARTS=N       the most parts (threads) one layer is read
//                                 in; a whole number >= 1. Unset or empty:
//                                 half the cores.
//   VORIVIV_BENCH_PG_COPY=0       no COPY load: GDAL's own load, kept to
//                                 compare against.
//   VORIVIV_BENCH_PG_COPY_BINARY=0
//                                 rows always as text, never in COPY's binary
//                                 format, kept to compare against.
// The two bench switches take any other value as on.
#pragma once

namespace voriviv::geofileops {

struct CopySettings {
    bool copy = true;    // VORIVIV_BENCH_PG_COPY is not "0"
    bool binary = true;  // VORIVIV_BENCH_PG_COPY_BINARY is not "0"
    int parts = 1;       // VORIVIV_PG_COPY_PARTS, or half the cores (at least 1)
};

// Reads the settings now. A VORIVIV_PG_COPY_PARTS that is not a whole number
// >= 1 throws Failure::value naming the variable and its value.
CopySettings copy_settings();

}  // namespace voriviv::geofileops
