// The kernels of kernels.inl for the baseline level; CMake sets this file's
// instruction flags.
#include "dispatch.hpp"

#define QORV_KERNEL_LEVEL "baseline"

namespace qorv::isa::baseline {
#include "kernels.inl"
}  // namespace qorv::isa::baseline
