// Layer listing at the Python boundary, and the dataset objects that the
// converter classes hand to Python (`_open_gdb` and friends).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "toolkit/core/dataset.hpp"

namespace voriviv::geofileops {

// A dataset handed to Python. Closed when the last Python reference (the
// object or one of its layers) goes away.
struct PyDataset {
    std::shared_ptr<Dataset> ds;
};

struct PyLayer {
    std::shared_ptr<Dataset> ds;  // keeps the dataset open
    OGRLayerH layer;
};

// A GDAL driver handed to Python (drivers live as long as GDAL does).
struct PyDriver {
    GDALDriverH h;
};

// Binds PyDriver/PyDataset/PyLayer into the module (names "Driver", "Dataset" and "Layer") with
// GetLayerCount(), GetLayerByIndex(i) and GetName().
void bind_dataset_types(nanobind::module_ &m);

// Wraps an open dataset for Python.
nanobind::object wrap_dataset(Dataset ds);

// How an allow-list is matched.
enum class Membership {
    Containment,  // the allow-list's own `in`, applied once per name
    HashSet,      // copied once into a set, then looked up
};

// _list_layers(ds, tables): the dataset's layer names in index order, kept
// only when they are members of a truthy `tables`. Our own datasets are
// listed natively; any object with GetLayerCount/GetLayerByIndex/GetName
// through Python calls.
nanobind::list list_layers(nanobind::handle ds, nanobind::handle tables, Membership how);

// Layer names of our own dataset without the GIL.
std::vector<std::string> native_layer_names(nanobind::handle ds);

}  // namespace voriviv::geofileops
