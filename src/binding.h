// What the two binding files (bind.cpp for _qel_cpp, engine_bind.cpp for qel._engine) share.
// Only binding files include this header: the core knows no Python.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>

namespace qel::binding {

namespace py = pybind11;

// Lets Ctrl-C stop a long call: the core calls this every few thousand units of work, and a
// pending signal unwinds it as a C++ exception that pybind11 turns back into the Python one
// (KeyboardInterrupt, or whatever the handler raised). Checking for signals does not release
// the interpreter lock.
inline void raise_pending_signals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

// A sequence taken once, as a tuple that holds every item for as long as the tuple lives. It
// is read by iteration, whole, so that a __getitem__ that makes a new object each time, a
// __len__ that lies, or Python code that changes the sequence while its items convert (a
// __float__, say) cannot free an item being read or make part of the sequence go unread.
inline py::tuple items_of(py::handle src) {
    PyObject* items = PySequence_Tuple(src.ptr());
    if (items == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::tuple>(items);
}

// pickle's protocols 0 and 1 make an object through its first base class written in C, which
// for a pybind11 class throws a C++ exception through the interpreter's C code and aborts it.
// Every protocol is answered as protocol 2 answers it. The method has no signature line: it is
// no part of the module's interface.
template <typename Class, typename... Options>
void def_reduce_ex(py::class_<Class, Options...>& cls,
                   const char* doc = "Reduces the object for pickle as protocol 2 would, whatever the protocol.") {
    py::options options;
    options.disable_function_signatures();
    cls.def(
        "__reduce_ex__",
        [](py::handle self, int protocol) {
            const py::object reduce_ex = py::module_::import("builtins").attr("object").attr("__reduce_ex__");
            return reduce_ex(self, std::max(protocol, 2));
        },
        py::arg("protocol"), doc);
}

}  // namespace qel::binding
