#include "random_rows.hpp"

#include <numeric>
#include <utility>

namespace qorv {

namespace {

// The generator's draws, its words tempered a generation at a time (loops
// the compiler vectorises) rather than one per draw.
class Mt19937 {
public:
    explicit Mt19937(Mt19937State& state) : state_(state) { temper(); }

    std::uint32_t next() {
        if (state_.pos == kMt19937Words) {
            regenerate();
            temper();
        }
        return tempered_[state_.pos++];
    }

private:
    static std::uint32_t twist(std::uint32_t word, std::uint32_t next, std::uint32_t far) {
        const std::uint32_t y = (word & 0x80000000u) | (next & 0x7fffffffu);
        return far ^ (y >> 1) ^ ((0u - (y & 1u)) & 0x9908b0dfu);
    }

    void regenerate() {
        constexpr int kShift = 397;
        std::uint32_t* key = state_.key;
        int i = 0;
        for (; i < kMt19937Words - kShift; ++i) key[i] = twist(key[i], key[i + 1], key[i + kShift]);
        for (; i < kMt19937Words - 1; ++i) {
            key[i] = twist(key[i], key[i + 1], key[i + kShift - kMt19937Words]);
        }
        key[i] = twist(key[i], key[0], key[kShift - 1]);
        state_.pos = 0;
    }

    void temper() {
        for (int k = 0; k < kMt19937Words; ++k) {
            std::uint32_t y = state_.key[k];
            y ^= y >> 11;
            y ^= (y << 7) & 0x9d2c5680u;
            y ^= (y << 15) & 0xefc60000u;
            y ^= y >> 18;
            tempered_[k] = y;
        }
    }

    Mt19937State& state_;
    std::uint32_t tempered_[kMt19937Words];
};

}  // namespace

std::vector<std::int64_t> permutation_prefix(Mt19937State& state, std::int64_t n, std::int64_t m) {
    Mt19937 mt(state);
    // 32-bit entries: every position is below 2^32
    std::vector<std::uint32_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0u);
    // Position i swaps with the first draw, masked to the bits of i, that
    // is not above it. Each draw is taken or passed over without a branch,
    // which would be guessed wrong at about a quarter of them: a passed one
    // swaps position i with itself and stays at i.
    std::int64_t i = n - 1;
    while (i >= 1) {
        const auto top = static_cast<std::uint32_t>(i);
        const std::uint32_t drawn = mt.next() & (~0u >> __builtin_clz(top));
        const bool taken = drawn <= top;
        std::swap(order[top], order[taken ? drawn : top]);
        i -= taken ? 1 : 0;
    }
    return {order.begin(), order.begin() + m};
}

}  // namespace qorv
