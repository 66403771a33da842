// The module `_qel_cpp`: the only unit that knows Python exists. It converts and delegates;
// every algorithm lives in the native core.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "binding.h"
#include "miner.h"
#include "motif.h"
#include "parallel.h"
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

// A series set on its way in: lists of numbers, a 2-D array (rows are series) or a sequence
// of 1-D arrays. Arrays are read through the buffer protocol, so NumPy is never imported.
struct SeriesSetArg {
    qel::SeriesSet series;
};

// Symbol sequences on their way in: each letter a one-character str up to U+00FF or a
// bytes/bytearray of length 1.
struct SymbolSequencesArg {
    std::vector<qel::Symbols> sequences;
};

// The instance a method is called on, whether or not its __init__ ever ran: an object made
// with `Class.__new__(Class)` alone holds no native object, and must be refused rather than
// read.
template <typename T>
struct Instance {
    py::detail::value_and_holder v_h;
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

template <typename T>
struct type_caster<Instance<T>> {
    PYBIND11_TYPE_CASTER(Instance<T>, make_caster<T>::name);

    bool load(handle src, bool) {
        const type_info* type = get_type_info(typeid(T));
        if (type == nullptr || !PyObject_TypeCheck(src.ptr(), type->type)) {
            return false;
        }
        value.v_h = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(type);
        return true;
    }

    // Instances are only ever arguments.
    static handle cast(const Instance<T>&, return_value_policy, handle) { return handle(); }
};

// ---- Arrays through the buffer protocol --------------------------------------------------

// IEEE binary16 to double; every half value is exact in double.
inline double half_to_double(std::uint16_t bits) {
    const int sign = (bits >> 15) ? -1 : 1;
    const int exponent = (bits >> 10) & 0x1F;
    const int fraction = bits & 0x3FF;
    if (exponent == 0) {
        return sign * std::ldexp(fraction, -24);
    }
    if (exponent == 31) {
        return fraction == 0 ? sign * HUGE_VAL : std::nan("");
    }
    return sign * std::ldexp(fraction + 1024, exponent - 25);
}

// How to read one item of an array as a double.
struct ItemReader {
    char kind = 0;  // 'i' signed, 'u' unsigned, 'f' floating point, 'b' bool
    std::size_t size = 0;
    bool swap = false;  // stored in the other byte order

    double read(const char* item) const {
        unsigned char bytes[16];
        std::memcpy(bytes, item, size);  // items of a strided view need not be aligned
        if (swap) {
            std::reverse(bytes, bytes + size);
        }
        switch (kind) {
        case 'b': return bytes[0] != 0 ? 1.0 : 0.0;
        case 'i':
            switch (size) {
            case 1: return value<std::int8_t>(bytes);
            case 2: return value<std::int16_t>(bytes);
            case 4: return value<std::int32_t>(bytes);
            default: return value<std::int64_t>(bytes);
            }
        case 'u':
            switch (size) {
            case 1: return value<std::uint8_t>(bytes);
            case 2: return value<std::uint16_t>(bytes);
            case 4: return value<std::uint32_t>(bytes);
            default: return value<std::uint64_t>(bytes);
            }
        default:
            switch (size) {
            case 2: return half_to_double(static_cast<std::uint16_t>(value<std::uint16_t>(bytes)));
            case 4: return value<float>(bytes);
            case 8: return value<double>(bytes);
            default: return value<long double>(bytes);
            }
        }
    }

    template <typename T>
    static double value(const unsigned char* bytes) {
        T v;
        std::memcpy(&v, bytes, sizeof(T));
        return static_cast<double>(v);
    }
};

inline std::string array_description(const buffer_info& info) {
    return std::to_string(info.ndim) + "-D array of format '" + info.format + "'";
}

// The reader for a buffer's items, or a TypeError naming what is expected instead.
inline ItemReader item_reader(const buffer_info& info) {
    const std::string& format = info.format;
    std::size_t at = 0;
    bool swap = false;
    if (!format.empty() && std::strchr("@=<>!", format[0]) != nullptr) {
        const bool little = format[0] == '<';
        const bool big = format[0] == '>' || format[0] == '!';
        const std::uint16_t probe = 1;
        unsigned char first;
        std::memcpy(&first, &probe, 1);
        const bool native_little = first == 1;
        swap = (little && !native_little) || (big && native_little);
        at = 1;
    }
    ItemReader reader;
    reader.size = static_cast<std::size_t>(info.itemsize);
    reader.swap = swap;
    if (format.size() == at + 1) {
        const char code = format[at];
        if (std::strchr("bhilqn", code) != nullptr) reader.kind = 'i';
        if (std::strchr("BHILQN", code) != nullptr) reader.kind = 'u';
        if (std::strchr("efdg", code) != nullptr) reader.kind = 'f';
        if (code == '?') reader.kind = 'b';
    }
    const bool usable_size =
        reader.kind == 'f'
            ? (reader.size == 2 || reader.size == 4 || reader.size == 8 ||
               (reader.size == sizeof(long double) && !swap && sizeof(long double) <= 16))
            : (reader.size == 1 || reader.size == 2 || reader.size == 4 || reader.size == 8);
    if (reader.kind == 0 || !usable_size) {
        std::string what = "format '" + format + "'";
        if (format.find('Z') != std::string::npos) what = "complex numbers";
        if (format == "O") what = "Python objects";
        if (format.find('w') != std::string::npos || format.find('s') != std::string::npos ||
            format.find('U') != std::string::npos) {
            what = "strings";
        }
        throw type_error("expected an array of real numbers (integers, floats or bools), got an array of " +
                         what);
    }
    return reader;
}

// `points` items of type T from `first` on, `stride` bytes apart, as doubles.
template <typename T>
qel::Series read_items(const char* first, py::ssize_t points, py::ssize_t stride) {
    qel::Series series(static_cast<std::size_t>(points));
    for (py::ssize_t i = 0; i < points; ++i) {
        T value;
        std::memcpy(&value, first + i * stride, sizeof(T));  // strided items need not be aligned
        series[static_cast<std::size_t>(i)] = static_cast<double>(value);
    }
    return series;
}

// Row `row` of a 2-D buffer (of a 1-D buffer: all of it) as one series. Items in the
// machine's byte order are read by type, each row in one loop; others one by one.
inline qel::Series read_row(const buffer_info& info, const ItemReader& reader, py::ssize_t row) {
    const py::ssize_t points = info.shape.back();
    const py::ssize_t stride = info.strides.back();
    const char* first = static_cast<const char*>(info.ptr) + (info.ndim == 2 ? row * info.strides[0] : 0);
    if (!reader.swap) {
        if (reader.kind == 'f' && reader.size == sizeof(double) && stride == sizeof(double)) {
            const double* values = reinterpret_cast<const double*>(first);
            return qel::Series(values, values + points);
        }
        const auto code = std::make_pair(reader.kind, reader.size);
        if (code == std::make_pair('f', sizeof(double))) return read_items<double>(first, points, stride);
        if (code == std::make_pair('f', sizeof(float))) return read_items<float>(first, points, stride);
        if (code == std::make_pair('i', std::size_t{8})) return read_items<std::int64_t>(first, points, stride);
        if (code == std::make_pair('i', std::size_t{4})) return read_items<std::int32_t>(first, points, stride);
        if (code == std::make_pair('u', std::size_t{1})) return read_items<std::uint8_t>(first, points, stride);
    }
    qel::Series series(static_cast<std::size_t>(points));
    for (py::ssize_t i = 0; i < points; ++i) {
        series[static_cast<std::size_t>(i)] = reader.read(first + i * stride);
    }
    return series;
}

// bytes is a buffer but never a series, as it is never a sequence of numbers on the list path.
inline bool is_array(handle src) { return PyObject_CheckBuffer(src.ptr()) && !PyBytes_Check(src.ptr()); }

// A sequence of items (not str or bytes, which are sequences of their own characters).
inline bool is_item_sequence(handle src) {
    return isinstance<sequence>(src) && !isinstance<str>(src) && !isinstance<bytes>(src);
}

using qel::binding::items_of;

// Reads `list`, a list, into `series` when every item is an exact float; false (and `series`
// cleared) otherwise. Exact floats convert without running Python code, so no item can
// change or go away while the list is read: it is read in place, each item once. It only
// reads Python objects, so other threads may run it for the thread that holds the
// interpreter, as long as that thread runs no Python code meanwhile.
inline bool read_float_list(PyObject* list, qel::Series& series) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    series.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyFloat_CheckExact(item)) {
            series.clear();
            return false;
        }
        series[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(item);
    }
    return true;
}

// One series from a sequence of numbers, converted as pybind11 converts a float argument;
// false when it is no such sequence.
inline bool load_series(handle src, bool convert, qel::Series& series) {
    if (PyList_CheckExact(src.ptr()) && read_float_list(src.ptr(), series)) {
        return true;
    }
    if (!is_item_sequence(src)) {
        return false;
    }
    const tuple points = items_of(src);
    series.reserve(points.size());
    for (const handle point : points) {
        make_caster<double> value;
        if (!value.load(point, convert)) {
            return false;
        }
        series.push_back(cast_op<double>(value));
    }
    return true;
}

// Series read at once, on several threads, once they hold this many points: reading the
// floats of a large set waits on memory, and so does writing its series for the first time.
constexpr std::size_t parallel_points = 1 << 16;

// Reads the lists items[0, last), all exact lists, into series[0, last) as read_float_list
// does, on several threads when they are long enough; the index of the first that holds
// anything but floats (its series and those after it to be read again), or `last`.
inline std::size_t read_float_lists(const tuple& items, std::size_t last, std::vector<qel::Series>& series) {
    const auto list = [&items](std::size_t i) { return PyTuple_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i)); };
    const auto points_of = [&list](std::size_t i) { return static_cast<std::size_t>(PyList_GET_SIZE(list(i))) + 1; };
    std::size_t points = 0;
    for (std::size_t i = 0; i < last; ++i) {
        points += points_of(i);
    }
    // Tasks of whole lists, about a quarter of parallel_points each.
    const std::vector<std::size_t> task_ends = qel::run_ends(last, points_of, parallel_points / 4);
    std::vector<std::uint8_t> read(last, 0);
    // No interrupt check: no Python code may run while other threads read the lists.
    qel::InterruptPoll unchecked{qel::InterruptCheck{}};
    const int threads = points < parallel_points ? 1 : qel::available_threads();
    qel::run_tasks(task_ends.size(), threads, unchecked, [&](std::size_t task, qel::InterruptPoll&) {
        for (std::size_t i = task == 0 ? 0 : task_ends[task - 1]; i < task_ends[task]; ++i) {
            read[i] = read_float_list(list(i), series[i]) ? 1 : 0;
        }
    });
    return static_cast<std::size_t>(std::find(read.begin(), read.end(), 0) - read.begin());
}

template <>
struct type_caster<SeriesSetArg> {
    PYBIND11_TYPE_CASTER(SeriesSetArg, const_name("List[List[float]]"));

    bool load(handle src, bool convert) {
        if (is_array(src)) {
            const buffer_info info = reinterpret_borrow<buffer>(src).request();
            if (info.ndim != 2) {
                throw type_error(
                    "expected a series set: a 2-D array (rows are series), a sequence of 1-D "
                    "arrays or a list of lists of floats; got a " + array_description(info));
            }
            const ItemReader reader = item_reader(info);
            value.series.reserve(static_cast<std::size_t>(info.shape[0]));
            for (py::ssize_t row = 0; row < info.shape[0]; ++row) {
                value.series.push_back(read_row(info, reader, row));
            }
            return true;
        }
        if (!is_item_sequence(src)) {
            return false;
        }
        const tuple items = items_of(src);
        const auto item = [&items](std::size_t i) {
            return handle(PyTuple_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i)));
        };
        value.series.resize(items.size());
        // The exact lists that lead the set are read at once, since reading them runs no
        // Python code; the rest one by one in order, since converting an item may run Python
        // code that changes a later one.
        std::size_t leading = 0;
        while (leading < items.size() && PyList_CheckExact(item(leading).ptr())) {
            ++leading;
        }
        for (std::size_t i = read_float_lists(items, leading, value.series); i < items.size(); ++i) {
            qel::Series& series = value.series[i];
            if (is_array(item(i))) {
                const buffer_info info = reinterpret_borrow<buffer>(item(i)).request();
                if (info.ndim != 1) {
                    throw type_error("expected each series as a 1-D array or a list of floats; got a " +
                                     array_description(info));
                }
                series = read_row(info, item_reader(info), 0);
                continue;
            }
            if (!load_series(item(i), convert, series)) {
                return false;
            }
        }
        return true;
    }

    static handle cast(const SeriesSetArg&, return_value_policy, handle) { return handle(); }
};

template <>
struct type_caster<SymbolSequencesArg> {
    PYBIND11_TYPE_CASTER(SymbolSequencesArg, const_name("List[List[str]]"));

    bool load(handle src, bool) {
        if (!is_item_sequence(src)) {
            return false;
        }
        const tuple items = items_of(src);
        value.sequences.reserve(items.size());
        for (const handle item : items) {
            if (!is_item_sequence(item)) {
                return false;
            }
            const tuple letters = items_of(item);
            qel::Symbols sequence;
            sequence.reserve(letters.size());
            for (const handle letter : letters) {
                char byte = 0;
                if (!load_letter(letter, byte)) {
                    return false;
                }
                sequence.push_back(byte);
            }
            value.sequences.push_back(std::move(sequence));
        }
        return true;
    }

    static handle cast(const SymbolSequencesArg&, return_value_policy, handle) { return handle(); }

private:
    // One letter: a str is read by code point, a bytes or bytearray by its byte, and either
    // must hold exactly one (the messages are pybind11's own for characters).
    static bool load_letter(handle letter, char& byte) {
        Py_ssize_t count = 0;
        long code = 0;
        if (letter.is_none()) {
            throw value_error("Cannot convert None to a character");
        }
        if (PyUnicode_Check(letter.ptr())) {
            // A str subclass may be made without its canonical form, which the reads need.
            if (PyUnicode_READY(letter.ptr()) != 0) {
                throw error_already_set();
            }
            count = PyUnicode_GET_LENGTH(letter.ptr());
            code = count == 1 ? static_cast<long>(PyUnicode_READ_CHAR(letter.ptr(), 0)) : 0;
        } else if (PyBytes_Check(letter.ptr())) {
            count = PyBytes_GET_SIZE(letter.ptr());
            code = count == 1 ? static_cast<unsigned char>(PyBytes_AS_STRING(letter.ptr())[0]) : 0;
        } else if (PyByteArray_Check(letter.ptr())) {
            count = PyByteArray_GET_SIZE(letter.ptr());
            code = count == 1 ? static_cast<unsigned char>(PyByteArray_AS_STRING(letter.ptr())[0]) : 0;
        } else {
            return false;
        }
        if (count == 0) {
            throw value_error("Cannot convert empty string to a character");
        }
        if (count > 1) {
            throw value_error("Expected a character, but multi-character string found");
        }
        if (code > 0xFF) {
            throw value_error("Character code point not in range(0x100)");
        }
        byte = static_cast<char>(static_cast<unsigned char>(code));
        return true;
    }
};

}  // namespace pybind11::detail

namespace {

// The native object behind `self`, or a TypeError when its __init__ never ran.
template <typename T>
T& constructed(const Instance<T>& self) {
    if (!self.v_h.holder_constructed()) {
        throw py::type_error(std::string(self.v_h.type->type->tp_name) +
                             " object is not initialised: its __init__ was never called");
    }
    return *self.v_h.template value_ptr<T>();
}

// Miners are held by shared pointers, so that a call of `mine` can hold its own reference to
// the native object it works on.
template <typename T>
using Shared = std::shared_ptr<T>;

// The name a class's messages use for it: "Miner" for _qel_cpp.Miner.
const char* class_name(const PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot == nullptr ? type->tp_name : dot + 1;
}

// What a call of __init__ or mine is told while `mine` runs on the same object.
[[noreturn]] void refuse_while_mining(const PyTypeObject* type) {
    const std::string name = class_name(type);
    throw std::runtime_error(name + ".mine is running on this miner: __init__ and mine are refused until it " +
                             "returns");
}

// Gives the instance `owner` as its native object.
template <typename T>
void install(py::detail::value_and_holder v_h, Shared<T> owner) {
    v_h.value_ptr() = owner.get();
    new (std::addressof(v_h.holder<Shared<T>>())) Shared<T>(std::move(owner));
    v_h.set_holder_constructed();
}

// The instances on which `mine` is running, each with the native object the call works on.
// Python code can run in the middle of that call (a signal handler at an interrupt check, a
// __del__ it sets off); were it to re-initialise or mine the same object, it would free or
// change what the running call reads. Only touched with the interpreter lock held.
template <typename T>
std::unordered_map<const void*, Shared<T>>& running_calls() {
    static std::unordered_map<const void*, Shared<T>> running;
    return running;
}

// One call of `mine`, for its duration: it owns a reference to the native object, and the
// instance is marked busy. A second call of mine on the instance is refused.
template <typename T>
class MiningCall {
public:
    explicit MiningCall(const Instance<T>& self) : v_h(self.v_h) {
        constructed(self);  // refuses an instance whose __init__ never ran
        owner = v_h.template holder<Shared<T>>();
        if (!running_calls<T>().emplace(v_h.inst, owner).second) {
            refuse_while_mining(v_h.type->type);
        }
    }
    ~MiningCall() {
        running_calls<T>().erase(v_h.inst);
        // An __init__ whose arguments failed to convert during the call left the instance
        // without its object (pybind11 drops it before converting them): it keeps the one
        // that mined, as a refused __init__ would.
        if (!v_h.holder_constructed()) {
            install(v_h, owner);
        }
    }
    MiningCall(const MiningCall&) = delete;
    MiningCall& operator=(const MiningCall&) = delete;

    T& native() const { return *owner; }

private:
    py::detail::value_and_holder v_h;
    Shared<T> owner;
};

// __init__ that a second call re-initialises, as a Python class's __init__ would: the object
// takes the new parameters and forgets its last results. Before it calls a new-style __init__,
// pybind11 destroys the holder of an initialised instance, and it ignores a second __init__ of
// a registered instance without a word; so __init__ builds the holder itself and leaves the
// instance unregistered (nothing looks these objects up by pointer: no binding returns a
// Miner or PatternMiner by reference). While `mine` runs on the instance, __init__ gives it
// back the object the call holds and is refused.
template <typename T, typename... Args, typename... Extra>
void def_init(py::class_<T, Shared<T>>& cls, const Extra&... extra) {
    cls.def(
        "__init__",
        [](py::detail::value_and_holder& v_h, Args... args) {
            const auto running = running_calls<T>().find(v_h.inst);
            if (running != running_calls<T>().end()) {
                install(v_h, running->second);
                refuse_while_mining(v_h.type->type);
            }
            install(v_h, std::make_shared<T>(args...));
        },
        py::detail::is_new_style_constructor(), extra...);
}

// A read-only property whose signature line names its instance `self`; an instance whose
// __init__ never ran is refused.
template <typename Class, typename... Options, typename Getter>
void def_getter(py::class_<Class, Options...>& cls, const char* name, Getter getter) {
    cls.def_property_readonly(
        name, py::cpp_function([getter](Instance<Class> self) { return getter(constructed(self)); },
                               py::is_method(cls)));
}

using qel::binding::def_reduce_ex;
using qel::binding::raise_pending_signals;

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
    motif.def("__repr__", [](Instance<qel::Motif> self) {
        return py::str("Motif('{}')").format(py::cast(PatternText{constructed(self).pattern}));
    });
    def_reduce_ex(motif);
}

void register_miner(py::module_& m) {
    py::class_<qel::Miner, Shared<qel::Miner>> miner(m, "Miner");
    def_init<qel::Miner, double, int, int, int, int, double, int>(
        miner, py::arg("minsup"), py::arg("seglen"), py::arg("alphabet"), py::arg("min_len") = 3,
        py::arg("max_len") = 0, py::arg("max_overlap") = 0.9, py::arg("k") = 0);
    // The series set arrives as the call's own copy, which mining z-normalises in place.
    miner.def("mine", [](Instance<qel::Miner> self, SeriesSetArg ts) {
        const MiningCall<qel::Miner> call(self);
        qel::Miner& native = call.native();
        native.set_interrupt_check(raise_pending_signals);
        return native.mine(ts.series);
    });
    def_getter(miner, "motifs", [](const qel::Miner& self) { return self.get_motifs(); });
    def_reduce_ex(miner);
}

void register_pattern_miner(py::module_& m) {
    py::class_<qel::PatternMiner, Shared<qel::PatternMiner>> miner(m, "PatternMiner");
    def_init<qel::PatternMiner, double, int, int, double>(
        miner, py::arg("minsup"), py::arg("min_len") = 3, py::arg("max_len") = 0,
        py::arg("max_overlap") = 0.9);
    miner.def("mine", [](Instance<qel::PatternMiner> self, const SymbolSequencesArg& sequences) {
        const MiningCall<qel::PatternMiner> call(self);
        qel::PatternMiner& native = call.native();
        native.set_interrupt_check(raise_pending_signals);
        native.mine(sequences.sequences);
    });
    def_getter(miner, "frequent", &frequent_by_text);
    def_reduce_ex(miner);
}

}  // namespace

PYBIND11_MODULE(_qel_cpp, m) {
    // The C++ runtime keeps its exception state in thread-local storage that the dynamic
    // loader allocates on first use. Were that first use the std::bad_alloc of a call that
    // has exhausted memory, the loader could not allocate it and would abort the process
    // ("cannot allocate memory for thread-local data"); touching it now makes that a
    // MemoryError.
    [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();  // volatile: the call is pure
    // Motif first: the other signature lines name it.
    register_motif(m);
    register_miner(m);
    register_pattern_miner(m);
    m.def(
        "sax",
        [](const SeriesSetArg& ts, int seglen, int alphabet) { return qel::sax(ts.series, seglen, alphabet); },
        py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));
}
