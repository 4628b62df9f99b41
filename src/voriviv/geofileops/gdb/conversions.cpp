#include "gdb/geofiledb.hpp"

namespace gdb {
void bind_conversions(Class &) {}
}  // namespace gdb
