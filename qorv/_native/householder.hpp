// A Householder reflector formed as Eigen's makeHouseholder forms it, for the
// QR fold's kernels and the bidiagonalisation alike. Builtins only, so that
// kernels.inl can include it inside each level's namespace.
#pragma once

#include <cstdint>

namespace qorv::householder {

struct Reflector {
    double beta;
    double tau;
};

// The reflector I - tau v v' (v[0] = 1) that takes the vector
// (c0, x[0], x[stride], ..., x[(n - 1) stride]) to beta e_0: writes
// v[i v_stride] = x[i stride] / (c0 - beta) for i < n (v may be x) and
// returns true; returns false, writing nothing, when the squares of x sum
// to no more than the smallest normal double.
inline bool make_reflector(double c0, const double* x, std::int64_t n, std::int64_t stride,
                           double* v, std::int64_t v_stride, Reflector& reflector) {
    double tail_norm2 = 0.0;
    for (std::int64_t i = 0; i < n; ++i) tail_norm2 += x[i * stride] * x[i * stride];
    if (tail_norm2 <= __DBL_MIN__) return false;
    double beta = __builtin_sqrt(c0 * c0 + tail_norm2);
    if (c0 >= 0.0) beta = -beta;
    for (std::int64_t i = 0; i < n; ++i) v[i * v_stride] = x[i * stride] / (c0 - beta);
    reflector = {beta, (beta - c0) / beta};
    return true;
}

}  // namespace qorv::householder
