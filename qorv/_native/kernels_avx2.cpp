// The kernels of kernels.inl for the avx2 level; CMake sets this file's
// instruction flags.
#include "dispatch.hpp"

#define QORV_KERNEL_LEVEL "avx2"

namespace qorv::isa::avx2 {
#include "kernels.inl"
}  // namespace qorv::isa::avx2
