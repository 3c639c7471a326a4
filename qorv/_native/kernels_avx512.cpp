// The kernels of kernels.inl for the avx512 level; CMake sets this file's
// instruction flags.
#include "dispatch.hpp"

#define QORV_KERNEL_LEVEL "avx512"

namespace qorv::isa::avx512 {
#include "kernels.inl"
}  // namespace qorv::isa::avx512
