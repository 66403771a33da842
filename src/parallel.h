// Independent tasks shared between the calling thread and threads started for the call, with
// the results and the errors of running them one after another.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "interrupt.h"

namespace qel {

// Threads a call may use: QEL_THREADS when it holds a whole number from 1 to 256, otherwise
// the processors this process may run on (its affinity, not the machine's count, so that a
// process pinned to one processor stays on one thread).
inline int available_threads() {
    if (const char* text = std::getenv("QEL_THREADS")) {
        char* end = nullptr;
        const long threads = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && threads >= 1 && threads <= 256) {
            return static_cast<int>(threads);
        }
    }
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
#endif
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Calls task(i, poll) for every i in [0, count) on up to `threads` threads, each index once,
// the lowest unclaimed index next. Only the calling thread calls `poll` (the caller's check
// may need the thread that called, as the interpreter's does); a task on another thread gets
// a poll that stops it once the call is abandoned. While the calling thread waits for the
// others it still calls the check, every few milliseconds.
//
// Errors are those of the tasks run in order: when tasks throw, the one with the lowest index
// is rethrown, and the tasks after it may not run or may stop part-way; every task before it
// runs to its end. An exception from `poll` on the calling thread abandons the call: the
// other threads stop at their next poll, and it is rethrown once they have. Threads that
// cannot be started leave the tasks to the threads that could, the calling thread at least.
template <typename Task>
void run_tasks(std::size_t count, int threads, InterruptPoll& poll, Task task) {
    const std::size_t helpers =
        std::min(count > 0 ? count - 1 : 0, static_cast<std::size_t>(std::max(threads, 1) - 1));
    if (helpers == 0) {
        for (std::size_t i = 0; i < count; ++i) {
            task(i, poll);
        }
        return;
    }
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    // Thrown by a poll to leave a task that is no longer wanted.
    struct Abandoned {};
    std::atomic<std::size_t> next{0};
    // Tasks from this index on are not wanted: one before it failed, or the call was abandoned.
    std::atomic<std::size_t> stop_from{none};
    std::mutex mutex;
    std::condition_variable done;
    std::size_t running = 0;
    std::size_t failed_at = none;
    std::exception_ptr failure;
    // What the caller's check threw, which abandons the call.
    std::exception_ptr interrupted;

    const auto fail = [&](std::size_t i, std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex);
        if (i < failed_at) {
            failed_at = i;
            failure = error;
        }
        std::size_t stop = stop_from.load();
        while (i < stop && !stop_from.compare_exchange_weak(stop, i)) {
        }
    };
    // Claims and runs tasks until none is left or wanted; `current` is the one running.
    const auto work = [&](InterruptPoll& local, std::size_t& current) {
        for (;;) {
            current = next.fetch_add(1);
            if (current >= count || current >= stop_from.load()) {
                return;
            }
            try {
                task(current, local);
            } catch (const Abandoned&) {
                return;
            } catch (...) {
                fail(current, std::current_exception());
                return;
            }
        }
    };
    const auto helper = [&] {
        std::size_t current = none;
        InterruptPoll local([&] {
            if (current >= stop_from.load()) {
                throw Abandoned{};
            }
        });
        work(local, current);
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        done.notify_all();
    };
    // The calling thread's tasks call the caller's check as often as the caller's poll would.
    const auto check = [&] {
        try {
            poll.tick(std::numeric_limits<std::int64_t>::max());
        } catch (...) {
            interrupted = std::current_exception();
            stop_from.store(0);
            throw Abandoned{};
        }
    };

    std::vector<std::thread> started;
    started.reserve(helpers);
    for (std::size_t h = 0; h < helpers; ++h) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            started.emplace_back(helper);
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            break;
        }
    }
    std::size_t current = none;
    InterruptPoll local(check);
    work(local, current);
    try {
        // The others' last tasks: the caller's check goes on being called while they run.
        std::unique_lock<std::mutex> lock(mutex);
        while (!interrupted && !done.wait_for(lock, std::chrono::milliseconds(5), [&] { return running == 0; })) {
            lock.unlock();
            check();
            lock.lock();
        }
    } catch (const Abandoned&) {
    }
    for (std::thread& thread : started) {
        thread.join();
    }
    if (interrupted) {
        std::rethrow_exception(interrupted);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace qel
