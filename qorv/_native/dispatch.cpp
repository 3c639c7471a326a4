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
namespace avx2 {
extern const Kernels table;
}
namespace avx512 {
extern const Kernels table;
}
}  // namespace isa

namespace {

// Levels from the narrowest up; a level is usable when the processor (and
// the operating system, which must save the wider registers) supports it.
const Kernels* const kLevels[] = {&isa::baseline::table, &isa::avx2::table,
                                  &isa::avx512::table};
constexpr int kLevelCount = 3;

int widest_supported_level() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 2;
    if (__builtin_cpu_supports("avx2")) return 1;
    return 0;
}

// The level named by QORV_MAX_CPU_LEVEL, or the widest one when it is unset
// or empty.
int requested_level_cap() {
    const char* value = std::getenv("QORV_MAX_CPU_LEVEL");
    if (value == nullptr || *value == '\0') return kLevelCount - 1;
    for (int level = 0; level < kLevelCount; ++level) {
        if (std::strcmp(value, kLevels[level]->level) == 0) return level;
    }
    throw std::invalid_argument(std::string("QORV_MAX_CPU_LEVEL is '") + value +
                                "' but must be one of baseline, avx2, avx512");
}

// Written at each import of the module (another interpreter may import it
// while this one computes), read by every kernel call.
std::atomic<const Kernels*> selected{&isa::baseline::table};

}  // namespace

const Kernels& kernels() { return *selected.load(std::memory_order_relaxed); }

void select_kernels() {
    const int cap = requested_level_cap();
    const int best = widest_supported_level();
    selected.store(kLevels[cap < best ? cap : best], std::memory_order_relaxed);
}

}  // namespace qorv
