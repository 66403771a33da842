// Independent tasks shared between the calling thread and threads kept for the call, with the
// results and the errors of running them one after another.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
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

// Ends of runs of consecutive items, each run of about `points` points (the last one fewer),
// items whole, `points_of(i)` being item i's: tasks each worth more than handing it to another
// thread costs.
template <typename PointsOf>
std::vector<std::size_t> run_ends(std::size_t count, PointsOf points_of, std::size_t points) {
    std::vector<std::size_t> ends;
    std::size_t in_run = 0;
    for (std::size_t i = 0; i < count; ++i) {
        in_run += points_of(i);
        if (in_run >= points || i + 1 == count) {
            ends.push_back(i + 1);
            in_run = 0;
        }
    }
    return ends;
}

// Threads kept for the length of one call, shared by its steps: a step finds them running
// instead of waiting tens of microseconds for new ones to start. Between steps they look for
// work for a short while, then sleep until the next step or the end of the call. Only the
// thread that made them may call `run`.
class Workers {
public:
    // Up to `threads` threads in all: the calling thread and threads - 1 helpers, started at the
    // first step that wants them.
    explicit Workers(int threads) : wanted(static_cast<std::size_t>(std::max(threads, 1) - 1)) {}
    ~Workers() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            published.store(++generation);
        }
        wake.notify_all();
        for (std::thread& thread : helpers) {
            thread.join();
        }
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // The threads `run` may use, the calling thread included.
    int size() const { return static_cast<int>(wanted) + 1; }

    // Calls task(i, poll) for every i in [0, count) on up to `threads` of these threads, each
    // index once, the lowest unclaimed index next. Only the calling thread calls `poll` (the
    // caller's check may need the thread that called, as the interpreter's does); a task on
    // another thread gets a poll that stops it once the call is abandoned. While the calling
    // thread waits for the others it still calls the check, every few milliseconds.
    //
    // Errors are those of the tasks run in order: when tasks throw, the one with the lowest
    // index is rethrown, and the tasks after it may not run or may stop part-way; every task
    // before it runs to its end. An exception from `poll` on the calling thread abandons the
    // call: the other threads stop at their next poll, and it is rethrown once they have.
    // Helpers that cannot be started leave the tasks to those that could, the calling thread
    // at least.
    template <typename Task>
    void run(std::size_t count, int threads, InterruptPoll& poll, Task task) {
        const std::size_t most = std::min({wanted, static_cast<std::size_t>(std::max(threads, 1) - 1),
                                           count > 0 ? count - 1 : 0});
        if (most > 0) {
            start(most);
        }
        if (most == 0 || helpers.empty()) {
            for (std::size_t i = 0; i < count; ++i) {
                task(i, poll);
            }
            return;
        }
        Job job(count, most, [&task](std::size_t i, InterruptPoll& local) { task(i, local); });
        share(job, poll);
    }

private:
    // Thrown by a poll to leave a task that is no longer wanted.
    struct Abandoned {};
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    // One step's tasks, while `run` shares them.
    struct Job {
        Job(std::size_t count, std::size_t most, std::function<void(std::size_t, InterruptPoll&)> task)
            : count(count), most(most), task(std::move(task)) {}
        const std::size_t count;
        // Helpers that may join.
        const std::size_t most;
        const std::function<void(std::size_t, InterruptPoll&)> task;
        std::atomic<std::size_t> next{0};
        // Tasks from this index on are not wanted: one before it failed, or the call was
        // abandoned.
        std::atomic<std::size_t> stop_from{none};
        // Guarded by the mutex: helpers that joined, those still in it, whether more may join,
        // and the failure of the lowest index.
        std::size_t joined = 0;
        std::size_t running = 0;
        bool open = true;
        std::size_t failed_at = none;
        std::exception_ptr failure;
    };

    // Starts helpers until there are `count` (fewer where the system refuses one).
    void start(std::size_t count) {
        while (helpers.size() < count && !refused) {
            try {
                helpers.emplace_back([this] { serve(); });
            } catch (const std::system_error&) {
                refused = true;
            } catch (const std::bad_alloc&) {
                refused = true;
            }
        }
    }

    // Claims and runs `job`'s tasks until none is left or wanted; `current` is the one running.
    void work(Job& job, InterruptPoll& local, std::size_t& current) {
        for (;;) {
            current = job.next.fetch_add(1);
            if (current >= job.count || current >= job.stop_from.load()) {
                return;
            }
            try {
                job.task(current, local);
            } catch (const Abandoned&) {
                return;
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (current < job.failed_at) {
                    job.failed_at = current;
                    job.failure = std::current_exception();
                }
                std::size_t stop = job.stop_from.load();
                while (current < stop && !job.stop_from.compare_exchange_weak(stop, current)) {
                }
                return;
            }
        }
    }

    // A helper's life: each step, joins it if it may, until the workers end.
    void serve() {
        // The runtime keeps a thread's exception state in storage allocated at its first use:
        // used now, so that a first exception that is a std::bad_alloc finds it there.
        [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
        std::uint64_t seen = 0;
        for (;;) {
            // Looks for the next step for a while before sleeping: steps of one call follow
            // closely, and a sleeping thread takes tens of microseconds to wake.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(500);
            while (published.load() == seen && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [&] { return generation != seen; });
                seen = generation;
                if (stopping) {
                    return;
                }
                if (current_job != nullptr && current_job->open && current_job->joined < current_job->most) {
                    job = current_job;
                    ++job->joined;
                    ++job->running;
                }
            }
            if (job == nullptr) {
                continue;
            }
            std::size_t current = none;
            InterruptPoll local([job, &current] {
                if (current >= job->stop_from.load()) {
                    throw Abandoned{};
                }
            });
            work(*job, local, current);
            std::lock_guard<std::mutex> lock(mutex);
            --job->running;
            done.notify_all();
        }
    }

    // Runs `job` with the helpers, the calling thread taking part; see run.
    void share(Job& job, InterruptPoll& poll) {
        std::exception_ptr interrupted;
        // The caller's check, as often as the caller's poll would call it; what it throws
        // abandons the step.
        const auto check = [&] {
            try {
                poll.tick(std::numeric_limits<std::int64_t>::max());
            } catch (...) {
                interrupted = std::current_exception();
                job.stop_from.store(0);
                throw Abandoned{};
            }
        };
        std::size_t current = none;
        // The calling thread's tasks also stop once an earlier one has failed.
        InterruptPoll local([&] {
            if (current >= job.stop_from.load()) {
                throw Abandoned{};
            }
            check();
        });
        {
            std::lock_guard<std::mutex> lock(mutex);
            current_job = &job;
            published.store(++generation);
        }
        wake.notify_all();
        work(job, local, current);
        std::unique_lock<std::mutex> lock(mutex);
        job.open = false;
        // The others' last tasks: the caller's check goes on being called while they run.
        while (job.running > 0) {
            if (interrupted || done.wait_for(lock, std::chrono::milliseconds(5), [&] { return job.running == 0; })) {
                done.wait(lock, [&] { return job.running == 0; });
                break;
            }
            lock.unlock();
            try {
                check();
            } catch (const Abandoned&) {
            }
            lock.lock();
        }
        current_job = nullptr;
        lock.unlock();
        if (interrupted) {
            std::rethrow_exception(interrupted);
        }
        if (job.failure) {
            std::rethrow_exception(job.failure);
        }
    }

    // Helpers wanted at most, beside the calling thread.
    const std::size_t wanted;
    std::vector<std::thread> helpers;
    // Whether the system refused a helper: no more are tried.
    bool refused = false;
    std::mutex mutex;
    // Helpers wait on `wake` for a new generation; the calling thread on `done` for helpers to
    // leave a step.
    std::condition_variable wake;
    std::condition_variable done;
    // Guarded by the mutex: bumped at each step and at the end; the step's tasks; the end.
    std::uint64_t generation = 0;
    Job* current_job = nullptr;
    bool stopping = false;
    // `generation` as the helpers may read it without the mutex while they look for work.
    std::atomic<std::uint64_t> published{0};
};

// Workers::run on threads started for this call alone.
template <typename Task>
void run_tasks(std::size_t count, int threads, InterruptPoll& poll, Task task) {
    Workers workers(threads);
    workers.run(count, threads, poll, task);
}

}  // namespace qel
