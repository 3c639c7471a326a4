// Included before every source of an aarch64 build, so that Eigen's
// products multiply and then add, as they do on x86-64, and give the same
// bits. Every aarch64 compiler announces fused multiply-add, and Eigen then
// fuses its packet operations and picks other algorithms: the announcement
// goes. Its matrix-product kernel for aarch64 calls fused intrinsics by
// name: those names become a multiply and an add.
#pragma once

#include <arm_neon.h>

#undef __ARM_FEATURE_FMA

#define vfmaq_n_f64(c, a, b) vaddq_f64((c), vmulq_n_f64((a), (b)))
#define vfmaq_laneq_f64(c, a, b, lane) vaddq_f64((c), vmulq_laneq_f64((a), (b), (lane)))
