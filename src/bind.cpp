// The module `_qel_cpp`: the only unit that knows Python exists. It converts and delegates;
// every algorithm lives in the native core.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "sax.h"

namespace py = pybind11;

PYBIND11_MODULE(_qel_cpp, m) {
    m.def("sax", &qel::sax, py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));
}
