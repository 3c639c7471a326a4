// Exceptions thrown by the workers of parallel_for_each_index reach the
// calling thread instead of terminating the process.
#include "parallel.hpp"

#include <omp.h>

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

}  // namespace

int main() {
    omp_set_num_threads(4);
    every_index_throws();
    bad_alloc_among_others();
    no_exception();
    if (failures == 0) std::puts("ok");
    return failures == 0 ? 0 : 1;
}
