// The module `_qel_cpp`: the only unit that knows Python exists. It converts and delegates;
// every algorithm lives in the native core.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <utility>

#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace py = pybind11;

namespace {

// A pattern on its way to Python as a str. Letters are bytes, and a byte above 0x7F is no
// valid UTF-8 on its own, so a pattern is decoded byte for byte (Latin-1), as single
// letters are.
struct PatternText {
    qel::Pattern letters;
};

struct PatternTextOrder {
    bool operator()(const PatternText& a, const PatternText& b) const {
        return qel::PatternOrder{}(a.letters, b.letters);
    }
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<PatternText> {
    PYBIND11_TYPE_CASTER(PatternText, const_name("str"));

    // Patterns only ever leave the module.
    bool load(handle, bool) { return false; }

    static handle cast(const PatternText& text, return_value_policy, handle) {
        return PyUnicode_DecodeLatin1(text.letters.data(),
                                      static_cast<Py_ssize_t>(text.letters.size()), nullptr);
    }
};

}  // namespace pybind11::detail

namespace {

// A read-only property whose signature line names its instance `self`.
template <typename Class, typename Getter>
void def_getter(py::class_<Class>& cls, const char* name, Getter getter) {
    cls.def_property_readonly(name, py::cpp_function(getter, py::is_method(cls)));
}

// Keyed by the pattern's str, in the native map's order; each motif is moved, not copied,
// out of the miner's copy of its map.
std::map<PatternText, qel::Motif, PatternTextOrder> frequent_by_text(const qel::PatternMiner& miner) {
    std::map<PatternText, qel::Motif, PatternTextOrder> frequent;
    for (auto& [pattern, motif] : miner.get_frequent()) {
        frequent.emplace_hint(frequent.end(), PatternText{pattern}, std::move(motif));
    }
    return frequent;
}

void register_motif(py::module_& m) {
    py::class_<qel::Motif> motif(m, "Motif");
    def_getter(motif, "pattern", [](const qel::Motif& self) { return PatternText{self.pattern}; });
    def_getter(motif, "indexes", [](const qel::Motif& self) { return self.get_indexes(); });
    def_getter(motif, "average_occurrences",
               [](const qel::Motif& self) { return self.get_average_occurrences(); });
    def_getter(motif, "representative",
               [](const qel::Motif& self) { return self.get_representative(); });
    def_getter(motif, "best_matches", [](const qel::Motif& self) { return self.get_best_matches(); });
    def_getter(motif, "length", [](const qel::Motif& self) { return self.get_length(); });
    def_getter(motif, "naed", [](const qel::Motif& self) { return self.get_naed(); });
    motif.def("__repr__", [](const qel::Motif& self) {
        return py::str("Motif('{}')").format(py::cast(PatternText{self.pattern}));
    });
}

void register_miner(py::module_& m) {
    py::class_<qel::Miner> miner(m, "Miner");
    miner.def(py::init<double, int, int, int, int, double, int>(), py::arg("minsup"),
              py::arg("seglen"), py::arg("alphabet"), py::arg("min_len") = 3,
              py::arg("max_len") = 0, py::arg("max_overlap") = 0.9, py::arg("k") = 0);
    // The series set arrives as the call's own copy, which mining z-normalises in place.
    miner.def("mine", &qel::Miner::mine);
    def_getter(miner, "motifs", [](const qel::Miner& self) { return self.get_motifs(); });
}

void register_pattern_miner(py::module_& m) {
    py::class_<qel::PatternMiner> miner(m, "PatternMiner");
    miner.def(py::init<double, int, int, double>(), py::arg("minsup"), py::arg("min_len") = 3,
              py::arg("max_len") = 0, py::arg("max_overlap") = 0.9);
    miner.def("mine", &qel::PatternMiner::mine);
    def_getter(miner, "frequent", &frequent_by_text);
}

}  // namespace

PYBIND11_MODULE(_qel_cpp, m) {
    // Motif first: the other signature lines name it.
    register_motif(m);
    register_miner(m);
    register_pattern_miner(m);
    m.def("sax", &qel::sax, py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));
}
