// Numeric types shared by every subsystem, and the size checks that guard
// each operation's entry.
#pragma once

#include <Eigen/Dense>

#include <sstream>
#include <stdexcept>

namespace qorv {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
using Index = Eigen::Index;

// Eigen cuts long matrix products into blocks sized from the processor's
// caches, and the cut decides the order of their sums. Fixed sizes (those
// Eigen reads on the machine the recorded results come from) give the same
// bits on every processor.
inline const bool eigen_cache_sizes_fixed =
    (Eigen::setCpuCacheSizes(32 * 1024, 1024 * 1024, 320 * 1024 * 1024), true);

// Throws std::invalid_argument with the parts streamed together when `ok`
// is false; the message is only built on failure.
template <class... Parts>
void require(bool ok, const Parts&... parts) {
    if (ok) return;
    std::ostringstream msg;
    (msg << ... << parts);
    throw std::invalid_argument(msg.str());
}

}  // namespace qorv
