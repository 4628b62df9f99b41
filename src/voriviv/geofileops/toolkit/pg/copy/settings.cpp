#include "toolkit/pg/copy/settings.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "toolkit/core/errors.hpp"

namespace voriviv::geofileops {

namespace {
// On unless `name` is set to "0".
bool switch_on(const char *name) {
    const char *v = std::getenv(name);
    return v == nullptr || std::strcmp(v, "0") != 0;
}

// Parts one layer may be read in. All parts share one COPY stream, which one
// server process takes in, at about the rate one thread formats rows: with the
// server on the same machine, a part and the server process each keep a core
// busy, so by default a layer gets half the cores.
int parts_setting() {
    constexpr const char *kName = "VORIVIV_PG_COPY_PARTS";
    const char *v = std::getenv(kName);
    if (v == nullptr || *v == '\0')
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency() / 2));
    const char *end = v + std::strlen(v);
    int n = 0;
    const auto [ptr, ec] = std::from_chars(v, end, n);
    if (ec != std::errc() || ptr != end || n < 1)
        throw Failure::value(std::string(kName) + " must be a whole number of at least 1, not '" +
                             v + "'");
    return n;
}
}  // namespace

CopySettings copy_settings() {
    CopySettings s;
    s.copy = switch_on("VORIVIV_BENCH_PG_COPY");
    s.binary = switch_on("VORIVIV_BENCH_PG_COPY_BINARY");
    s.parts = parts_setting();
    return s;
}

}  // namespace voriviv::geofileops
