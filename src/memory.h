// The memory a call may take: a request larger than the memory there is is refused before any
// of it is allocated, so that it fails as std::bad_alloc instead of growing until the system
// kills the process.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace qel {

// A std::bad_alloc that says how much was asked for and how much memory there is.
class MemoryRequestTooLarge : public std::bad_alloc {
public:
    MemoryRequestTooLarge(const std::string& work, double bytes, double available)
        : message(work + " needs " + size_text(bytes) + " of memory, more than the " + size_text(available) +
                  " there is") {}

    const char* what() const noexcept override { return message.c_str(); }

    // "17.2 GB (17179869184 bytes)": decimal units, as free(1) and most tools print them.
    static std::string size_text(double bytes) {
        const char* units[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
        double scaled = bytes;
        std::size_t unit = 0;
        while (scaled >= 1000.0 && unit + 1 < sizeof units / sizeof units[0]) {
            scaled /= 1000.0;
            ++unit;
        }
        char text[96];
        if (unit == 0) {
            std::snprintf(text, sizeof text, "%.0f bytes", bytes);
        } else {
            std::snprintf(text, sizeof text, "%.1f %s (%.0f bytes)", scaled, units[unit], bytes);
        }
        return text;
    }

private:
    std::string message;
};

// The memory this process can have, in bytes: the machine's physical memory, or the limit on
// its address space where that is lower. Physical memory rather than what is free at the
// moment: whether a call is refused then depends on the call alone, not on what else runs.
inline double memory_bytes() {
    double bytes = HUGE_VAL;
#if defined(__unix__) || defined(__APPLE__)
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    // Asked once: the machine's memory does not change while the process runs, and asking
    // is a system call, made for every motif mapped.
    static const double physical = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        return pages > 0 && page_size > 0 ? static_cast<double>(pages) * static_cast<double>(page_size) : HUGE_VAL;
    }();
    bytes = physical;
#endif
    // The limit is the process's to change between calls: asked each time.
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        bytes = std::min(bytes, static_cast<double>(limit.rlim_cur));
    }
#endif
    return bytes;
}

// The most threads, from 1 to `threads`, whose working space of `per_thread` bytes each fits
// beside the `kept` bytes within `available` (1 when even one does not: refusing is the
// caller's).
inline int threads_within(double kept, double per_thread, int threads, double available) {
    while (threads > 1 && kept + per_thread * threads > available) {
        --threads;
    }
    return std::max(threads, 1);
}

// Refuses `work` (what the message calls it: "mapping 3 motifs") when the `bytes` it will
// allocate exceed memory_bytes().
inline void check_memory(const std::string& work, double bytes) {
    const double available = memory_bytes();
    if (bytes > available) {
        throw MemoryRequestTooLarge(work, bytes, available);
    }
}

}  // namespace qel
