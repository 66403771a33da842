// The module `qel._engine`: the native steps of mining a series set held in parts (see
// qel/distributed.py). Like bind.cpp it converts and delegates; the steps live in the core
// (partitioned.h).
// Work on a part runs without the interpreter lock, so that a Dask worker's own threads
// (heartbeats, transfers) go on while it computes.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding.h"
#include "partitioned.h"
#include "patterns.h"
#include "redundancy.h"

namespace py = pybind11;

namespace {

using PartDetails = std::tuple<std::unordered_map<int, std::vector<int>>,
                               std::unordered_map<int, std::vector<double>>, std::unordered_map<int, int>>;

// A series as the Python side hands it over: a 1-D buffer of doubles (NumPy float64).
qel::Series read_series(const py::handle& item) {
    const py::buffer_info info = py::reinterpret_borrow<py::buffer>(item).request();
    const std::string& format = info.format;
    if (info.ndim != 1 || info.itemsize != sizeof(double) ||
        !(format == "d" || format == "@d" || format == "=d" || format == "<d")) {
        throw py::type_error("expected each series as a 1-D array of float64, got a " + std::to_string(info.ndim) +
                             "-D array of format '" + format + "'");
    }
    qel::Series series(static_cast<std::size_t>(info.shape[0]));
    const char* first = static_cast<const char*>(info.ptr);
    for (py::ssize_t i = 0; i < info.shape[0]; ++i) {
        std::memcpy(&series[static_cast<std::size_t>(i)], first + i * info.strides[0], sizeof(double));
    }
    return series;
}

qel::PreparedPart make_part(const py::sequence& sequence, int seglen, int alphabet) {
    const py::tuple items = qel::binding::items_of(sequence);
    qel::SeriesSet series;
    series.reserve(items.size());
    for (const py::handle item : items) {
        if (!PyObject_CheckBuffer(item.ptr())) {
            throw py::type_error("expected each series as a 1-D array of float64");
        }
        series.push_back(read_series(item));
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

// The part's series are numbered from `first_series` on, their place in the whole set.
std::vector<PartDetails> details(const qel::PreparedPart& part, const std::vector<py::bytes>& texts,
                                 const std::vector<std::vector<double>>& representatives, int first_series) {
    const std::vector<qel::Pattern> patterns = patterns_of(texts);
    py::gil_scoped_release unlocked;
    const std::vector<qel::PartDetails> measured = qel::part_details(part, patterns, representatives);
    std::vector<PartDetails> result(patterns.size());
    for (std::size_t i = 0; i < measured.size(); ++i) {
        auto& [indexes, averages, best_matches] = result[i];
        for (const auto& [series, positions] : measured[i].indexes) {
            indexes[first_series + series] = positions;
        }
        for (const auto& [series, average] : measured[i].averages) {
            averages[first_series + series] = average;
        }
        for (const auto& [series, start] : measured[i].best_starts) {
            best_matches[first_series + series] = start;
        }
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
    m.def("average_sums", &average_sums, py::arg("part"), py::arg("patterns"));
    m.def("distance_sums", &distance_sums, py::arg("part"), py::arg("patterns"), py::arg("representatives"));
    m.def("details", &details, py::arg("part"), py::arg("patterns"), py::arg("representatives"),
          py::arg("first_series"));
}
