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

// Threads worth using for `tasks` tasks of about `task_ns` nanoseconds each:
// none beyond the calling thread for less than about a hundred microseconds
// of work per thread, and no more than the tasks, OpenMP's thread limit or,
// unless OMP_NUM_THREADS fixes the count, the processors that other
// processes leave idle.
int team_size(int tasks, double task_ns);

// team_size, except that a team filling every processor is kept where
// fewer than half as many processors are idle, for several milliseconds of
// work per thread: its threads gain
// their share of the busy processors, idle_waiters keeps them from
// spinning, and a thread's wait for its turn at the start and the end of
// the loop costs little beside the loop. For loops that are few per call
// (the sampler's stages); short loops one after another would pay that wait
// at each.
int team_size_sharing_busy(int tasks, double task_ns);

// OpenMP's thread limit for the calling thread's parallel regions.
int thread_limit();

// Threads that a region of `team` working threads adds, which take no work:
// one where the team fills every processor while other processes keep one
// busy. GNU libgomp then has more threads than processors and waits for a
// hundred spins before it sleeps, instead of milliseconds, at the region's
// closing barrier and between regions: a spinning thread would take the
// share of a busy processor from the thread still working.
int idle_waiters(int team);

// The calling thread's number in its OpenMP team (0 for the one that
// started the region).
int team_thread();

// Records that a parallel region whose workers spin after it ended now:
// they keep their processors busy for a while, waiting for the next region,
// and team_size must not count them as other processes. `spinning`: the
// region's threads that spin, the calling thread excluded.
void note_region_end(int spinning);

// Blocks the calling thread while `word` holds `value`, for at most
// Interruption::kPollInterval when `timed`; may return early.
void wait_while(const std::atomic<int>& word, int value, bool timed);

// Wakes every thread blocked in wait_while on `word`.
void wake_waiters(std::atomic<int>& word);

// Runs body(i) for every i in [0, n), handing out one index at a time to
// `team` OpenMP threads (0: thread_limit()), or all on the calling thread
// where threads are not usable. An exception must not leave the parallel
// region (the runtime would terminate the process), so each index keeps its
// own and, once every index has run, the one of the lowest index is rethrown
// on the calling thread. Every body(i) runs even when another one has
// thrown. Once `stop` is requested no further index starts, running bodies
// are expected to return early (they see stop.requested()), and Interrupted
// is thrown. No thread spins on a processor that another thread needs: a
// worker out of indices goes to the runtime's closing barrier (which spins
// only where processors are idle, see idle_waiters), and the calling thread
// sleeps until the last body has returned, polling `stop` meanwhile, and then
// arrives there last.
template <class Body>
void parallel_for_each_index(int n, const Body& body, const Interruption& stop = Interruption(),
                             int team = 0) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(n < 0 ? 0 : n));
    const auto run = [&](int i) {
        try {
            body(i);
        } catch (...) {
            failures[static_cast<std::size_t>(i)] = std::current_exception();
        }
    };
    if (team == 0) team = thread_limit();
    if (team > n) team = n;
    if (!threads_usable() || team <= 1) {
        for (int i = 0; i < n && !stop.requested(); ++i) run(i);
    } else {
        note_threads_started();
        // 64 bits: every thread takes one index past n before it stops.
        std::atomic<std::int64_t> next{0};
        // Indices not yet run or skipped; whoever takes it to zero wakes the
        // calling thread.
        std::atomic<int> unfinished{n};
        const std::thread::id caller = std::this_thread::get_id();
        const int waiters = idle_waiters(team);
#pragma omp parallel num_threads(team + waiters)
        {
            for (std::int64_t i = team_thread() < team ? next++ : n; i < n; i = next++) {
                if (!stop.requested()) run(static_cast<int>(i));
                if (--unfinished == 0) wake_waiters(unfinished);
            }
            if (std::this_thread::get_id() == caller) {
                for (int left = unfinished.load(); left > 0; left = unfinished.load()) {
                    stop.requested();  // only to poll
                    wait_while(unfinished, left, true);
                }
            }
        }
        note_region_end(waiters > 0 ? 0 : team - 1);
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

// parallel_for_each_task for n tasks of about task_ns nanoseconds each,
// on as many threads as team_size gives.
template <class Body>
void parallel_for_each_task(int n, double task_ns, const Body& body,
                            const Interruption& stop = Interruption()) {
    parallel_for_each_index(n, body, stop, team_size(n, task_ns));
}

}  // namespace qorv
