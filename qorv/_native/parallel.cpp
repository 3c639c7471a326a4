#include "parallel.hpp"

#include <omp.h>
#include <pthread.h>
// The team's size and wait: the machine's load and the futex.
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

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

namespace {

// Work below which a thread costs more than it saves: waking it, and the
// wait for its last task.
constexpr double kMinThreadNs = 100e3;

// The same on a processor that other processes keep busy: the thread
// gains only its share of that processor, and both its start and its last
// task may wait a scheduler slice (a millisecond or more) for their turn.
constexpr double kMinSharedThreadNs = 4e6;

// How long the runtime's workers stay busy waiting after a region (GNU
// libgomp spins for a few milliseconds before it sleeps; past this the
// count errs towards fewer threads), and how long a reading of the
// machine's load stays valid.
constexpr std::int64_t kWorkerSpinNs = 5'000'000;
constexpr std::int64_t kLoadValidNs = 10'000'000;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<std::int64_t> last_region_end{INT64_MIN / 2};
std::atomic<int> last_region_spinning{0};

// Threads ready to run on the whole machine, this one included, from the
// kernel's instantaneous count in /proc/loadavg; -1 where it cannot say.
int runnable_threads() {
    const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[128];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    // "0.10 0.20 0.30 running/total last_pid"
    const char* field = text;
    for (int spaces = 0; spaces < 3 && field != nullptr; ++spaces) {
        field = std::strchr(field, ' ');
        if (field != nullptr) ++field;
    }
    return field == nullptr ? -1 : std::atoi(field);
}

std::atomic<std::int64_t> load_read_at{INT64_MIN / 2};
std::atomic<int> idle_seen{INT_MAX};

// Processors that other processes leave idle, counting the calling thread's
// own (0 or fewer where they keep every one busy; INT_MAX where the kernel
// cannot say); re-read at most every kLoadValidNs.
int free_processors() {
    const std::int64_t now = now_ns();
    if (now - load_read_at.load() < kLoadValidNs) return idle_seen.load();
    const int runnable = runnable_threads();
    int idle = INT_MAX;
    if (runnable > 0) {
        const int own_spinning =
            now - last_region_end.load() < kWorkerSpinNs ? last_region_spinning.load() : 0;
        const int others = std::max(0, runnable - 1 - own_spinning);
        idle = omp_get_num_procs() - others;
    }
    idle_seen.store(idle);
    load_read_at.store(now);
    return idle;
}

// Processors a team may count on: the calling thread's at least.
int idle_processors() { return std::max(1, free_processors()); }

}  // namespace

int thread_limit() { return omp_get_max_threads(); }

namespace {

// Whether the user fixed the thread count with OMP_NUM_THREADS, read once:
// then the machine's load is not second-guessed.
bool thread_count_fixed() {
    static const bool fixed = [] {
        const char* value = std::getenv("OMP_NUM_THREADS");
        return value != nullptr && *value != '\0';
    }();
    return fixed;
}

}  // namespace

namespace {

// team_size, where `shares_busy` lets a team that fills every processor
// share busy processors.
int team_size(int tasks, double task_ns, bool shares_busy) {
    const int limit = std::min(tasks, thread_limit());
    const double work = static_cast<double>(tasks) * task_ns;
    if (limit <= 1 || work < 2.0 * kMinThreadNs) return 1;
    // A thread on a processor that another process keeps busy gains only
    // its share of it, none where the scheduler shares out the processors
    // per session rather than per thread, and holds the call up while it
    // waits for its turn. Only idle_waiters keeps the runtime's spinning
    // from taking that share. The scheduler balances thread counts, not
    // shares: up to two of the team's threads per idle processor may stay
    // there together and gain nothing from the busy ones (on two
    // processors with one busy, both threads shared the idle one), so only
    // a team larger than that is sure to reach busy processors.
    const int team = std::min(limit, static_cast<int>(work / kMinThreadNs));
    if (thread_count_fixed()) return team;
    if (shares_busy && team >= omp_get_num_procs() &&
        2 * static_cast<std::int64_t>(free_processors()) < team &&
        work >= static_cast<double>(team) * kMinSharedThreadNs) {
        return team;
    }
    return std::min(team, idle_processors());
}

}  // namespace

int team_size(int tasks, double task_ns) { return team_size(tasks, task_ns, false); }

int team_size_sharing_busy(int tasks, double task_ns) { return team_size(tasks, task_ns, true); }

int idle_waiters(int team) {
    return team == omp_get_num_procs() && idle_processors() < team ? 1 : 0;
}

int team_thread() { return omp_get_thread_num(); }

void note_region_end(int spinning) {
    last_region_spinning.store(spinning);
    last_region_end.store(now_ns());
}

void wait_while(const std::atomic<int>& word, int value, bool timed) {
#ifdef __linux__
    static_assert(sizeof(std::atomic<int>) == sizeof(int), "futex words are plain ints");
    timespec timeout{0, std::chrono::nanoseconds(Interruption::kPollInterval).count()};
    syscall(SYS_futex, reinterpret_cast<const int*>(&word), FUTEX_WAIT_PRIVATE, value,
            timed ? &timeout : nullptr, nullptr, 0);
#else
    if (word.load() == value) std::this_thread::sleep_for(std::chrono::microseconds(50));
#endif
}

void wake_waiters(std::atomic<int>& word) {
#ifdef __linux__
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
#else
    (void)word;
#endif
}

void note_threads_started() { threads_started.store(true); }

}  // namespace qorv
