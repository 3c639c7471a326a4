// Exceptions thrown by the workers of parallel_for_each_index reach the
// calling thread instead of terminating the process; a stop request ends the
// loop on every thread; a child forked after a loop can still run one.
#include "parallel.hpp"

#include <omp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <chrono>
#include <cstdio>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
}

// Long enough that every thread of the team gets some of the indices.
void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

void every_index_throws() {
    const int n = 40;
    std::vector<int> thread_of(n, -1);
    std::string caught;
    try {
        qorv::parallel_for_each_index(n, [&](int i) {
            thread_of[i] = omp_get_thread_num();
            pause();
            throw std::runtime_error(std::to_string(i));
        });
    } catch (const std::runtime_error& e) {
        caught = e.what();
    }
    check(caught == "0", "the exception of the lowest index is rethrown");
    check(std::set<int>(thread_of.begin(), thread_of.end()).size() >= 2,
          "worker threads besides the caller threw");
}

void bad_alloc_among_others() {
    const int n = 50;
    std::vector<int> ran(n, 0);
    bool got_bad_alloc = false;
    try {
        qorv::parallel_for_each_index(n, [&](int i) {
            ran[i] = 1;
            pause();
            if (i == 7) throw std::bad_alloc();
            if (i == 30) throw std::length_error("later index");
        });
    } catch (const std::bad_alloc&) {
        got_bad_alloc = true;
    } catch (...) {
    }
    check(got_bad_alloc, "std::bad_alloc of index 7 reaches the caller");
    check(std::vector<int>(n, 1) == ran, "every index runs despite the failures");
}

void no_exception() {
    const int n = 20;
    std::vector<int> ran(n, 0);
    bool threw = false;
    try {
        qorv::parallel_for_each_index(n, [&](int i) { ran[i] = i + 1; });
        qorv::parallel_for_each_index(0, [&](int) { threw = true; });
    } catch (...) {
        threw = true;
    }
    check(!threw, "a clean loop, or an empty one, throws nothing");
    std::vector<int> expected(n);
    for (int i = 0; i < n; ++i) expected[i] = i + 1;
    check(ran == expected, "every index runs once");
}

using Clock = std::chrono::steady_clock;

Clock::time_point stop_at;

bool past_stop_time() { return Clock::now() >= stop_at; }

// Each index would run for a minute; the poll answers yes after 50 ms, and
// every thread must leave its index soon after.
void stop_ends_every_index() {
    const int n = 40;
    std::atomic<int> started{0};
    stop_at = Clock::now() + std::chrono::milliseconds(50);
    const qorv::Interruption stop(&past_stop_time);
    bool interrupted = false;
    try {
        qorv::parallel_for_each_index(n, [&](int) {
            ++started;
            const auto give_up = Clock::now() + std::chrono::seconds(60);
            while (!stop.requested() && Clock::now() < give_up) pause();
        }, stop);
    } catch (const qorv::Interrupted&) {
        interrupted = true;
    }
    check(interrupted, "a stopped loop throws Interrupted");
    check(Clock::now() - stop_at < std::chrono::seconds(1), "the loop ends soon after the stop");
    check(started.load() < n, "no index starts after the stop");
}

// GNU libgomp's pool survives fork without its threads: a child that opened
// a parallel region would wait forever. The alarm ends such a child.
void forked_child_runs_a_loop() {
    qorv::parallel_for_each_index(8, [](int) { pause(); });
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        std::vector<int> ran(8, 0);
        qorv::parallel_for_each_index(8, [&](int i) { ran[i] = omp_get_thread_num() + 1; });
        _exit(ran == std::vector<int>(8, 1) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a forked child runs every index on its own thread");
}

}  // namespace

int main() {
    omp_set_num_threads(4);
    every_index_throws();
    bad_alloc_among_others();
    no_exception();
    stop_ends_every_index();
    forked_child_runs_a_loop();
    if (failures == 0) std::puts("ok");
    return failures == 0 ? 0 : 1;
}
