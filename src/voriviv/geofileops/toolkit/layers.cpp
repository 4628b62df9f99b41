#include "toolkit/layers.hpp"

#include "toolkit/names.hpp"
#include "toolkit/pyboundary.hpp"

namespace nb = nanobind;

namespace geofileops {

void bind_dataset_types(nb::module_ &m) {
    nb::class_<PyDriver>(m, "Driver", "Description : A GDAL driver.")
        .def("GetName", [](const PyDriver &d) { return nb::str(GDALGetDriverShortName(d.h)); },
             "Description : The driver's short name.");
    nb::class_<PyLayer>(m, "Layer", "Description : A layer of an open GDAL dataset.")
        .def("GetName", [](const PyLayer &l) {
            CallContext ctx;
            std::string name;
            {
                nb::gil_scoped_release nogil;
                ErrorScope scope(ctx.sink());
                const char *n = OGR_L_GetName(l.layer);
                scope.raise_if_failed();
                name = n ? n : "";
            }
            ctx.finish();
            return nb::str(name.data(), name.size());
        }, "Description : The layer's name.");
    nb::class_<PyDataset>(m, "Dataset",
                          "Description : An open GDAL vector dataset, closed when the object dies.")
        .def("GetLayerCount", [](const PyDataset &d) {
            CallContext ctx;
            int n;
            {
                nb::gil_scoped_release nogil;
                ErrorScope scope(ctx.sink());
                n = GDALDatasetGetLayerCount(d.ds->get());
                scope.raise_if_failed();
            }
            ctx.finish();
            return n;
        }, "Description : Number of layers.")
        .def("GetLayerByIndex", [](const PyDataset &d, int i) -> nb::object {
            CallContext ctx;
            OGRLayerH layer;
            {
                nb::gil_scoped_release nogil;
                ErrorScope scope(ctx.sink());
                layer = GDALDatasetGetLayer(d.ds->get(), i);
                scope.raise_if_failed();
            }
            ctx.finish();
            if (layer == nullptr) return nb::none();
            return nb::cast(PyLayer{d.ds, layer});
        }, nb::arg("index"), "Description : The layer at an index, or None.");
}

nb::object wrap_dataset(Dataset ds) {
    return nb::cast(PyDataset{std::make_shared<Dataset>(std::move(ds))});
}

std::vector<std::string> native_layer_names(nb::handle ds) {
    const PyDataset &d = nb::cast<const PyDataset &>(ds);
    CallContext ctx;
    std::vector<std::string> names;
    {
        nb::gil_scoped_release nogil;
        names = layer_names(d.ds->get(), ctx.sink());
    }
    ctx.finish();
    return names;
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
    const int truthy = PyObject_IsTrue(tables.ptr());
    if (truthy < 0) throw nb::python_error();
    if (!truthy) return names;
    nb::object allow = nb::borrow(tables);
    if (how == Membership::HashSet) {
        allow = nb::steal(PySet_New(tables.ptr()));
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

}  // namespace geofileops
