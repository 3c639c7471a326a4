// Exact rescaling by powers of two, for data whose squares would overflow or
// fall below the normal doubles.
#pragma once

#include <cmath>

#include "types.hpp"

namespace qorv {

// The binary exponent of the largest magnitude of `entries` when that lies
// outside [2^-bound, 2^bound]; 0 when it lies inside, and for entries that
// are empty, all zero or not all finite.
template <class Derived>
int scale_exponent(const Eigen::DenseBase<Derived>& entries, int bound) {
    if (entries.size() == 0 || !entries.allFinite()) return 0;
    const double largest = entries.derived().cwiseAbs().maxCoeff();
    if (largest == 0.0 || (largest > std::ldexp(1.0, -bound) && largest < std::ldexp(1.0, bound))) {
        return 0;
    }
    int exponent = 0;
    std::frexp(largest, &exponent);
    return exponent;
}

// entries 2^exponent, exact unless a result leaves the normal doubles.
template <class Derived>
auto times_power_of_two(const Eigen::DenseBase<Derived>& entries, int exponent) {
    return entries.derived().unaryExpr([exponent](double v) { return std::ldexp(v, exponent); });
}

}  // namespace qorv
