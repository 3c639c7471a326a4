#include "dispatch.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace qorv {

namespace isa {
namespace baseline {
extern const Kernels table;
}
#if defined(__x86_64__)
namespace avx2 {
extern const Kernels table;
}
namespace avx512 {
extern const Kernels table;
}
#endif
}  // namespace isa

namespace {

bool always() { return true; }

#if defined(__x86_64__)
// The CPU's flags as the operating system exposes them: a flag is set only
// when the OS also saves the wider registers.
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool has_avx512f() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}
#endif

struct Level {
    const Kernels* kernels;  // its name is kernels->level
    bool (*supported)();
};

// The one list of levels, narrowest first: probe, QORV_MAX_CPU_LEVEL and
// every message read it. Other architectures run the portable build of
// kernels.inl, whose vector types the compiler maps to its own registers.
const Level kLevels[] = {
    {&isa::baseline::table, always},
#if defined(__x86_64__)
    {&isa::avx2::table, has_avx2},
    {&isa::avx512::table, has_avx512f},
#endif
};
constexpr int kLevelCount = static_cast<int>(sizeof kLevels / sizeof kLevels[0]);

std::string level_names() {
    std::string names = kLevels[0].kernels->level;
    for (int i = 1; i < kLevelCount; ++i) names += std::string(", ") + kLevels[i].kernels->level;
    return names;
}

// The level named by QORV_MAX_CPU_LEVEL, or the widest one when it is unset
// or empty.
int requested_level_cap() {
    const char* value = std::getenv("QORV_MAX_CPU_LEVEL");
    if (value == nullptr || *value == '\0') return kLevelCount - 1;
    for (int i = 0; i < kLevelCount; ++i) {
        if (std::strcmp(value, kLevels[i].kernels->level) == 0) return i;
    }
    throw std::invalid_argument(std::string("QORV_MAX_CPU_LEVEL is '") + value +
                                "' but must be one of " + level_names());
}

// Written at each import of the module (another interpreter may import it
// while this one computes), read by every kernel call.
std::atomic<const Kernels*> selected{&isa::baseline::table};

}  // namespace

const Kernels& kernels() { return *selected.load(std::memory_order_relaxed); }

int level_count() { return kLevelCount; }

const Kernels& level_kernels(int i) { return *kLevels[i].kernels; }

bool level_supported(int i) { return kLevels[i].supported(); }

void select_kernels() {
    int level = requested_level_cap();
    while (!kLevels[level].supported()) --level;
    selected.store(kLevels[level].kernels, std::memory_order_relaxed);
}

}  // namespace qorv
