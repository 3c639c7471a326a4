// GCC vector types of doubles and their loads and stores, for the kernel
// headers: builtins only, so that kernels.inl can include them inside each
// level's namespace.
#pragma once

namespace qorv::lanes {

template <int L>
struct Lanes {
    typedef double V __attribute__((vector_size(L * sizeof(double))));
};

// Through references: a vector passed or returned by value would take a
// different calling convention at each level. V may also be double.
template <class V>
inline void load(V& v, const double* p) {
    __builtin_memcpy(&v, p, sizeof v);
}

template <class V>
inline void store(double* p, const V& v) {
    __builtin_memcpy(p, &v, sizeof v);
}

// x in every lane: x - (+0.0) is x for every x, -0.0 included.
template <class V>
inline V splat(double x) {
    return x - V{};
}

}  // namespace qorv::lanes
