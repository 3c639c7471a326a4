// The rows of a random subset drawn as NumPy's legacy RandomState draws a
// permutation, so that a seeded fit picks the same rows as before while it
// skips the n-entry array of 64-bit integers and the interpreted swaps.
#pragma once

#include <cstdint>
#include <vector>

namespace qorv {

// A 32-bit Mersenne Twister (MT19937) as RandomState keeps it: 624 words
// and the position of the next one to temper (624: every word used, the
// next draw regenerates them).
struct Mt19937State {
    std::uint32_t* key;
    int pos;
};
constexpr int kMt19937Words = 624;

// The first m entries of RandomState.permutation(n) (m <= n <= 2^32): its
// Fisher-Yates shuffle of 0 .. n - 1 from the last position down, each
// position's partner drawn by masking 32-bit draws and rejecting those
// above it. `state` is advanced in place exactly as that call advances it.
std::vector<std::int64_t> permutation_prefix(Mt19937State& state, std::int64_t n, std::int64_t m);

}  // namespace qorv
