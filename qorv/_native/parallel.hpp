// A parallel loop whose workers may throw.
#pragma once

#include <cstddef>
#include <exception>
#include <vector>

namespace qorv {

// Runs body(i) for every i in [0, n) on OpenMP worker threads, handing out
// one index at a time. An exception must not leave the parallel region (the
// runtime would terminate the process), so each index keeps its own and,
// once every index has run, the one of the lowest index is rethrown on the
// calling thread. Every body(i) runs even when another one has thrown.
template <class Body>
void parallel_for_each_index(int n, const Body& body) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(n < 0 ? 0 : n));
#pragma omp parallel for schedule(dynamic, 1)
    for (int i = 0; i < n; ++i) {
        try {
            body(i);
        } catch (...) {
            failures[static_cast<std::size_t>(i)] = std::current_exception();
        }
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

// parallel_for_each_index, except that a single index runs on the calling
// thread: for one task, waking the workers costs more than it could save.
template <class Body>
void parallel_for_each_task(int n, const Body& body) {
    if (n == 1) {
        body(0);
        return;
    }
    parallel_for_each_index(n, body);
}

}  // namespace qorv
