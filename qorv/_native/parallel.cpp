#include "parallel.hpp"

#include <omp.h>
#include <pthread.h>

namespace qorv {

namespace {

// Clock reads on the creating thread are this many requested() calls apart.
constexpr int kCallsPerClockRead = 16;

std::atomic<bool> threads_started{false};
std::atomic<bool> forked_after_threads{false};
// Whether the forking thread still had OpenMP workers when it forked.
std::atomic<bool> workers_kept_at_fork{false};

// Runs in the parent on the forking thread, just before the fork. GNU
// libgomp keeps the workers of every thread that has run a parallel region,
// whoever ran it (this module or any other library on the same runtime), and
// the child would wait for them forever at its first parallel region: a hard
// pause ends them, and the runtime starts new ones at the next region. The
// pause fails only inside a parallel region, which the workers then keep.
void on_fork_prepare() {
    workers_kept_at_fork.store(omp_pause_resource_all(omp_pause_hard) != 0);
}

// Runs in the child, which has only the forking thread: the flags are plain
// loads and stores, which a fork handler may do.
void on_fork_child() {
    if (threads_started.load() || workers_kept_at_fork.load()) forked_after_threads.store(true);
}

// Registered once, when the library is loaded.
[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(&on_fork_prepare, nullptr, &on_fork_child);

}  // namespace

Interruption::Interruption(Poll poll)
    : poll_(poll),
      caller_(std::this_thread::get_id()),
      next_poll_(std::chrono::steady_clock::now() + kPollInterval) {}

void Interruption::poll_now() const {
    countdown_ = kCallsPerClockRead;
    if (stop_.load()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_poll_) return;
    next_poll_ = now + kPollInterval;
    if (poll_()) stop_.store(true);
}

bool threads_usable() { return !forked_after_threads.load(); }

void note_threads_started() { threads_started.store(true); }

}  // namespace qorv
