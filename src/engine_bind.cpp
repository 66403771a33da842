// The module `qel._engine`: the native steps of mining a series set held in parts (see
// qel/distributed.py). Like bind.cpp it converts and delegates; the steps live in the core
// (partitioned.h).
// Work on a part runs without the interpreter lock, so that a Dask worker's own threads
// (heartbeats, transfers) go on while it computes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "binding.h"
#include "partitioned.h"
#include "patterns.h"
#include "redundancy.h"

namespace py = pybind11;

namespace {

// One pattern's details as NumPy arrays: series (numbered in the whole set), occurrences per
// series, positions, averages (series x points) and best-match starts.
using PartDetails = std::tuple<py::array_t<std::int64_t>, py::array_t<std::int64_t>, py::array_t<std::int64_t>,
                               py::array_t<double>, py::array_t<std::int64_t>>;

// Copies `values` into `out` from `at` on, each plus `offset`, and moves `at` past them.
template <typename To, typename From>
void append_to(py::array_t<To>& out, std::size_t& at, const std::vector<From>& values, To offset = To{}) {
    To* data = out.mutable_data();
    for (const From& value : values) {
        data[at++] = static_cast<To>(value) + offset;
    }
}

bool holds_doubles(const py::buffer_info& info) {
    const std::string& format = info.format;
    return info.itemsize == sizeof(double) && (format == "d" || format == "@d" || format == "=d" || format == "<d");
}

// `count` doubles from `first`, `stride` bytes apart.
qel::Series read_values(const char* first, py::ssize_t count, py::ssize_t stride) {
    qel::Series series(static_cast<std::size_t>(count));
    if (stride == static_cast<py::ssize_t>(sizeof(double)) && count > 0) {
        std::memcpy(series.data(), first, series.size() * sizeof(double));
        return series;
    }
    for (py::ssize_t i = 0; i < count; ++i) {
        std::memcpy(&series[static_cast<std::size_t>(i)], first + i * stride, sizeof(double));
    }
    return series;
}

// A series as the Python side hands it over: a 1-D buffer of doubles (NumPy float64).
qel::Series read_series(const py::handle& item) {
    const py::buffer_info info = py::reinterpret_borrow<py::buffer>(item).request();
    if (info.ndim != 1 || !holds_doubles(info)) {
        throw py::type_error("expected each series as a 1-D array of float64, got a " + std::to_string(info.ndim) +
                             "-D array of format '" + info.format + "'");
    }
    return read_values(static_cast<const char*>(info.ptr), info.shape[0], info.strides[0]);
}

// The rows of a 2-D buffer of doubles, read in one request: a row at a time costs a
// request and a view per series, more than copying its points.
bool read_table(const py::handle& table, qel::SeriesSet& series) {
    if (!PyObject_CheckBuffer(table.ptr())) {
        return false;
    }
    const py::buffer_info info = py::reinterpret_borrow<py::buffer>(table).request();
    if (info.ndim != 2 || !holds_doubles(info)) {
        return false;
    }
    series.reserve(static_cast<std::size_t>(info.shape[0]));
    const char* first = static_cast<const char*>(info.ptr);
    for (py::ssize_t row = 0; row < info.shape[0]; ++row) {
        series.push_back(read_values(first + row * info.strides[0], info.shape[1], info.strides[1]));
    }
    return true;
}

qel::PreparedPart make_part(const py::sequence& sequence, int seglen, int alphabet) {
    qel::SeriesSet series;
    if (!read_table(sequence, series)) {
        const py::tuple items = qel::binding::items_of(sequence);
        series.reserve(items.size());
        for (const py::handle item : items) {
            if (!PyObject_CheckBuffer(item.ptr())) {
                throw py::type_error("expected each series as a 1-D array of float64");
            }
            series.push_back(read_series(item));
        }
    }
    py::gil_scoped_release unlocked;
    return qel::prepare_part(std::move(series), seglen, alphabet);
}

std::vector<qel::Pattern> patterns_of(const std::vector<py::bytes>& texts) {
    std::vector<qel::Pattern> patterns;
    patterns.reserve(texts.size());
    for (const py::bytes& text : texts) {
        const std::string letters = text;
        patterns.emplace_back(letters.begin(), letters.end());
    }
    return patterns;
}

std::vector<py::bytes> texts_of(const std::vector<qel::Pattern>& patterns) {
    std::vector<py::bytes> texts;
    texts.reserve(patterns.size());
    for (const qel::Pattern& pattern : patterns) {
        texts.emplace_back(pattern.data(), pattern.size());
    }
    return texts;
}

std::vector<py::bytes> frequent_patterns(const qel::PreparedPart& part, double minsup, int max_len) {
    std::vector<qel::Pattern> patterns;
    {
        py::gil_scoped_release unlocked;
        // Nothing filtered: min_len 1 keeps every length and an overlap bound of 1 drops nothing.
        qel::PatternMiner miner(minsup, 1, max_len, 1.0);
        // A cluster runs one task per worker thread: its threads are the parallelism here.
        miner.set_threads(1);
        miner.mine(part.letters);
        for (const auto& entry : miner.get_frequent()) {
            patterns.push_back(entry.first);
        }
    }
    return texts_of(patterns);
}

std::vector<std::int64_t> supports(const qel::PreparedPart& part, const std::vector<py::bytes>& texts) {
    const std::vector<qel::Pattern> patterns = patterns_of(texts);
    py::gil_scoped_release unlocked;
    return qel::count_support(part.letters, patterns);
}

std::vector<py::bytes> keep_patterns(const std::vector<py::bytes>& texts, int min_len, double max_overlap) {
    // Ctrl-C can stop a long filter on the driver.
    qel::InterruptPoll poll(qel::binding::raise_pending_signals);
    return texts_of(qel::keep_patterns(patterns_of(texts), min_len, max_overlap, poll));
}

std::vector<int> occurrence_lengths(int seglen, const std::vector<py::bytes>& texts) {
    return qel::occurrence_lengths(seglen, patterns_of(texts));
}

std::vector<std::pair<std::vector<double>, std::vector<std::int64_t>>> average_sums(
    const qel::PreparedPart& part, const std::vector<py::bytes>& texts) {
    const std::vector<qel::Pattern> patterns = patterns_of(texts);
    py::gil_scoped_release unlocked;
    std::vector<std::pair<std::vector<double>, std::vector<std::int64_t>>> result;
    for (qel::AverageSums& sums : qel::average_sums(part, patterns)) {
        result.emplace_back(std::move(sums.sums), std::move(sums.counts));
    }
    return result;
}

std::vector<double> distance_sums(const qel::PreparedPart& part, const std::vector<py::bytes>& texts,
                                  const std::vector<std::vector<double>>& representatives) {
    const std::vector<qel::Pattern> patterns = patterns_of(texts);
    py::gil_scoped_release unlocked;
    return qel::distance_sums(part, patterns, representatives);
}

// Per pattern, its details on every part given, end to end in part order: one set of arrays
// for many parts (a worker sends a few large arrays, not a few per part). Part p's series are
// numbered from first_series[p] on, their place in the whole set.
std::vector<PartDetails> details(const std::vector<const qel::PreparedPart*>& parts,
                                 const std::vector<std::int64_t>& first_series, const std::vector<py::bytes>& texts,
                                 const std::vector<std::vector<double>>& representatives) {
    if (parts.empty() || first_series.size() != parts.size() ||
        std::find(parts.begin(), parts.end(), nullptr) != parts.end()) {
        throw std::invalid_argument("expected one or more parts and one first series per part");
    }
    const std::vector<qel::Pattern> patterns = patterns_of(texts);
    // Per part, per pattern.
    std::vector<std::vector<qel::PartDetails>> measured;
    {
        py::gil_scoped_release unlocked;
        for (const qel::PreparedPart* part : parts) {
            measured.push_back(qel::part_details(*part, patterns, representatives));
        }
    }
    std::vector<PartDetails> result;
    result.reserve(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        std::size_t series = 0;
        std::size_t positions = 0;
        for (const auto& per_part : measured) {
            series += per_part[i].series.size();
            positions += per_part[i].positions.size();
        }
        // part_details checked that each representative has its pattern's points.
        const std::size_t points = representatives[i].size();
        const std::vector<py::ssize_t> one_per_series{static_cast<py::ssize_t>(series)};
        PartDetails arrays{py::array_t<std::int64_t>(one_per_series), py::array_t<std::int64_t>(one_per_series),
                           py::array_t<std::int64_t>(std::vector<py::ssize_t>{static_cast<py::ssize_t>(positions)}),
                           py::array_t<double>({static_cast<py::ssize_t>(series), static_cast<py::ssize_t>(points)}),
                           py::array_t<std::int64_t>(one_per_series)};
        auto& [numbers, counts, starts, averages, best] = arrays;
        std::size_t at[5] = {0, 0, 0, 0, 0};
        for (std::size_t p = 0; p < measured.size(); ++p) {
            const qel::PartDetails& one = measured[p][i];
            append_to(numbers, at[0], one.series, first_series[p]);
            append_to(counts, at[1], one.counts);
            append_to(starts, at[2], one.positions);
            append_to(averages, at[3], one.averages);
            append_to(best, at[4], one.best_starts);
        }
        result.push_back(std::move(arrays));
    }
    return result;
}

// A part travels between processes as its seglen and flat byte strings: each series' points
// and letters counts, then all values and all letters.
py::tuple part_state(const qel::PreparedPart& part) {
    std::vector<std::int64_t> points;
    std::vector<std::int64_t> letter_counts;
    std::string values;
    std::string letters;
    for (std::size_t s = 0; s < part.series.size(); ++s) {
        points.push_back(static_cast<std::int64_t>(part.series[s].size()));
        letter_counts.push_back(static_cast<std::int64_t>(part.letters[s].size()));
        values.append(reinterpret_cast<const char*>(part.series[s].data()), part.series[s].size() * sizeof(double));
        letters.append(part.letters[s].begin(), part.letters[s].end());
    }
    const auto counts = [](const std::vector<std::int64_t>& v) {
        return py::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(std::int64_t));
    };
    return py::make_tuple(part.seglen, counts(points), counts(letter_counts), py::bytes(values), py::bytes(letters));
}

qel::PreparedPart part_from_state(const py::tuple& state) {
    const auto refuse = [] { return std::invalid_argument("not the state of a Partition"); };
    if (state.size() != 5) {
        throw refuse();
    }
    qel::PreparedPart part;
    part.seglen = state[0].cast<int>();
    const std::string points = state[1].cast<std::string>();
    const std::string letter_counts = state[2].cast<std::string>();
    const std::string values = state[3].cast<std::string>();
    const std::string letters = state[4].cast<std::string>();
    if (points.size() != letter_counts.size() || points.size() % sizeof(std::int64_t) != 0) {
        throw refuse();
    }
    std::size_t value_at = 0;
    std::size_t letter_at = 0;
    for (std::size_t at = 0; at < points.size(); at += sizeof(std::int64_t)) {
        std::int64_t size = 0;
        std::int64_t count = 0;
        std::memcpy(&size, points.data() + at, sizeof(size));
        std::memcpy(&count, letter_counts.data() + at, sizeof(count));
        const std::size_t bytes = static_cast<std::size_t>(size) * sizeof(double);
        if (size < 0 || count < 0 || value_at + bytes > values.size() ||
            letter_at + static_cast<std::size_t>(count) > letters.size()) {
            throw refuse();
        }
        qel::Series series(static_cast<std::size_t>(size));
        if (bytes > 0) {  // an empty series has no data pointer to copy into
            std::memcpy(series.data(), values.data() + value_at, bytes);
        }
        value_at += bytes;
        part.letters.emplace_back(letters.begin() + static_cast<std::ptrdiff_t>(letter_at),
                                  letters.begin() + static_cast<std::ptrdiff_t>(letter_at) + count);
        letter_at += static_cast<std::size_t>(count);
        part.series.push_back(std::move(series));
    }
    if (value_at != values.size() || letter_at != letters.size()) {
        throw refuse();
    }
    return part;
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Native steps of mining a series set held in parts; see qel.distributed.";
    py::class_<qel::PreparedPart> partition(m, "Partition");
    qel::binding::def_reduce_ex(partition, "Reduces the part for pickle as protocol 2 would, whatever the protocol.");
    partition
        .def(py::init(&make_part), py::arg("series"), py::arg("seglen"), py::arg("alphabet"))
        .def_property_readonly("size", [](const qel::PreparedPart& part) { return part.series.size(); })
        .def_property_readonly("seglen", [](const qel::PreparedPart& part) { return part.seglen; })
        .def_property_readonly("letters",
                               [](const qel::PreparedPart& part) { return texts_of(part.letters); })
        .def_property_readonly("series", [](const qel::PreparedPart& part) { return part.series; })
        .def(py::pickle(&part_state, &part_from_state));
    m.def("frequent_patterns", &frequent_patterns, py::arg("part"), py::arg("minsup"), py::arg("max_len"));
    m.def("supports", &supports, py::arg("part"), py::arg("patterns"));
    m.def("keep_patterns", &keep_patterns, py::arg("patterns"), py::arg("min_len"), py::arg("max_overlap"));
    m.def("occurrence_lengths", &occurrence_lengths, py::arg("seglen"), py::arg("patterns"));
    m.def("check_support_rule", &qel::check_support_rule, py::arg("minsup"), py::arg("max_len"));
    m.def("check_selection", &qel::check_selection, py::arg("k"));
    m.def("average_sums", &average_sums, py::arg("part"), py::arg("patterns"));
    m.def("distance_sums", &distance_sums, py::arg("part"), py::arg("patterns"), py::arg("representatives"));
    m.def("details", &details, py::arg("parts"), py::arg("first_series"), py::arg("patterns"),
          py::arg("representatives"));
}
