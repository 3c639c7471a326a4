// Parallel loops whose workers may throw, that stay usable in a forked child
// and that a caller can stop from outside (Ctrl-C).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace qorv {

// Thrown on the calling thread by an operation that an Interruption stopped.
// Whoever supplied the poll knows why it answered yes and reports that.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "the call was interrupted"; }
};

// Stop request of one call, shared by every thread of that call. Only the
// thread that made the Interruption asks its poll, at most once per
// kPollInterval; the others only read the flag the poll sets. Without a poll
// the call is never stopped.
class Interruption {
public:
    using Poll = bool (*)();  // true when the call must stop

    explicit Interruption(Poll poll = nullptr);
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // True once the call must stop; on the creating thread this may poll.
    // Costs a few instructions: call it once per step of a loop whose steps
    // take a microsecond or more.
    bool requested() const {
        if (poll_ != nullptr && std::this_thread::get_id() == caller_ && --countdown_ < 0) {
            poll_now();
        }
        return stop_.load();
    }

    // Throws Interrupted when requested().
    void check() const {
        if (requested()) throw Interrupted();
    }

    static constexpr std::chrono::milliseconds kPollInterval{5};

private:
    void poll_now() const;

    Poll poll_;
    std::thread::id caller_;
    mutable std::atomic<bool> stop_{false};
    // Calls on the creating thread before it reads the clock again, and when
    // the poll is next due: written by that thread only, and kept off the
    // cache line of stop_, which every thread reads at every step.
    alignas(64) mutable int countdown_ = 0;
    mutable std::chrono::steady_clock::time_point next_poll_;
};

// False in a child forked after this module started OpenMP threads, or
// forked from inside a parallel region. Before every fork the forking
// thread's OpenMP workers are ended, whoever started them (GNU libgomp keeps
// them across fork without their threads, and the child's first parallel
// region would wait for them forever); a worker forked from a process that
// has run parallel loops of this module still runs its loops on its own
// thread, so that a pool of forked workers, one per core, does not
// oversubscribe the cores.
bool threads_usable();

// Recorded before the first parallel region, so that a child forked before
// any (e.g. a forkserver's) keeps its threads.
void note_threads_started();

// Runs body(i) for every i in [0, n), handing out one index at a time to
// OpenMP worker threads, or all on the calling thread where threads are not
// usable. An exception must not leave the parallel region (the runtime would
// terminate the process), so each index keeps its own and, once every index
// has run, the one of the lowest index is rethrown on the calling thread.
// Every body(i) runs even when another one has thrown. Once `stop` is
// requested no further index starts, running bodies are expected to return
// early (they see stop.requested()), and Interrupted is thrown. The calling
// thread keeps polling `stop` until the last body has returned.
template <class Body>
void parallel_for_each_index(int n, const Body& body, const Interruption& stop = Interruption()) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(n < 0 ? 0 : n));
    const auto run = [&](int i) {
        try {
            body(i);
        } catch (...) {
            failures[static_cast<std::size_t>(i)] = std::current_exception();
        }
    };
    if (!threads_usable()) {
        for (int i = 0; i < n && !stop.requested(); ++i) run(i);
    } else {
        note_threads_started();
        // 64 bits: every thread takes one index past n before it stops.
        std::atomic<std::int64_t> next{0};
        // Threads between taking an index and finishing it. A thread counts
        // itself in before it looks at `stop` and `next`, so once the caller
        // has seen both exhausted and the count at zero, no body can start.
        std::atomic<int> busy{0};
        const std::thread::id caller = std::this_thread::get_id();
#pragma omp parallel
        {
            for (;;) {
                ++busy;
                const std::int64_t i = stop.requested() ? n : next++;
                if (i >= n) {
                    --busy;
                    break;
                }
                run(static_cast<int>(i));
                --busy;
            }
            if (std::this_thread::get_id() == caller) {
                while (busy.load() > 0) {
                    stop.requested();  // only to poll
                    std::this_thread::yield();
                }
            }
        }
    }
    stop.check();
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

// parallel_for_each_index, except that a single index runs on the calling
// thread: for one task, waking the workers costs more than it could save.
template <class Body>
void parallel_for_each_task(int n, const Body& body, const Interruption& stop = Interruption()) {
    if (n == 1) {
        body(0);
        stop.check();
        return;
    }
    parallel_for_each_index(n, body, stop);
}

}  // namespace qorv
