// Helpers shared by the C++ test programs: failure counting and test values
// that make any change of summation order show.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace native_check {

inline int failures = 0;

inline void check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++failures;
}

// Signed values from 1e-6 to 1e6, from a 64-bit LCG with the given state.
inline double spread_value(std::uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double unit = static_cast<double>(state >> 11) * 0x1p-53;
    const double sign = (state >> 10) & 1 ? 1.0 : -1.0;
    return sign * (0.5 + unit) * std::pow(10.0, static_cast<double>((state >> 4) % 13) - 6.0);
}

}  // namespace native_check
