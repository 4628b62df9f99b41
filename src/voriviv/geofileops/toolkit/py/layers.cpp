#include "toolkit/py/layers.hpp"

#include "toolkit/py/work_items.hpp"

#include "toolkit/core/names.hpp"
#include "toolkit/py/pyboundary.hpp"

namespace nb = nanobind;

namespace voriviv::geofileops {

void bind_dataset_types(nb::module_ &m) {
    nb::class_<PyDriver>(m, "Driver")
        .def("GetName", [](const PyDriver &d) { return nb::str(GDALGetDriverShortName(d.h)); });
    nb::class_<PyLayer>(m, "Layer")
        .def("GetName", [](const PyLayer &l) {
            const std::string name = gdal_call([&](WarningSink *) {
                const char *n = OGR_L_GetName(l.layer);
                return std::string(n ? n : "");
            });
            return nb::str(name.data(), name.size());
        });
    nb::class_<PyDataset>(m, "Dataset")
        .def("GetLayerCount", [](const PyDataset &d) {
            return gdal_call([&](WarningSink *) { return GDALDatasetGetLayerCount(d.ds->get()); });
        })
        .def("GetLayerByIndex", [](const PyDataset &d, int i) -> nb::object {
            OGRLayerH layer =
                gdal_call([&](WarningSink *) { return GDALDatasetGetLayer(d.ds->get(), i); });
            if (layer == nullptr) return nb::none();
            return nb::cast(PyLayer{d.ds, layer});
        }, nb::arg("index"));
}

nb::object wrap_dataset(Dataset ds) {
    return nb::cast(PyDataset{std::make_shared<Dataset>(std::move(ds))});
}

std::vector<std::string> native_layer_names(nb::handle ds) {
    const PyDataset &d = nb::cast<const PyDataset &>(ds);
    return gdal_call([&](WarningSink *sink) { return layer_names(d.ds->get(), sink); });
}

namespace {
nb::list all_names(nb::handle ds) {
    nb::list out;
    if (nb::isinstance<PyDataset>(ds)) {
        for (const auto &n : native_layer_names(ds)) out.append(nb::str(n.data(), n.size()));
        return out;
    }
    // The count is used as range() would use it: any integer-like object.
    nb::object count_obj = nb::steal(PyNumber_Index(ds.attr("GetLayerCount")().ptr()));
    if (!count_obj.is_valid()) throw nb::python_error();
    const Py_ssize_t count = PyLong_AsSsize_t(count_obj.ptr());
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < count; ++i)
        out.append(ds.attr("GetLayerByIndex")(i).attr("GetName")());
    return out;
}
}  // namespace

nb::list list_layers(nb::handle ds, nb::handle tables, Membership how) {
    nb::list names = all_names(ds);
    if (!truth(tables)) return names;
    nb::object allow = nb::borrow(tables);
    if (how == Membership::HashSet) {
        allow = nb::steal(PySet_New(tables.ptr()));
        if (!allow.is_valid()) throw nb::python_error();
    } else if (PyIter_Check(tables.ptr())) {
        // A one-shot iterator (a generator, iter(list)) would be used up by
        // the first `in`; its names are taken once, in a tuple.
        allow = nb::steal(PySequence_Tuple(tables.ptr()));
        if (!allow.is_valid()) throw nb::python_error();
    }
    require_text_items(allow);
    nb::list kept;
    for (nb::handle name : names) {
        const int member = PySequence_Contains(allow.ptr(), name.ptr());
        if (member < 0) throw nb::python_error();
        if (member) kept.append(name);
    }
    return kept;
}

}  // namespace voriviv::geofileops
