// Numeric types shared by every subsystem, and the size checks that guard
// each operation's entry.
#pragma once

#include <Eigen/Dense>

#include <sstream>
#include <stdexcept>
#include <vector>

namespace qorv {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
using Index = Eigen::Index;

// Exponents of one monomial, one per input dimension.
using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;

// Throws std::invalid_argument with the parts streamed together when `ok`
// is false; the message is only built on failure.
template <class... Parts>
void require(bool ok, const Parts&... parts) {
    if (ok) return;
    std::ostringstream msg;
    (msg << ... << parts);
    throw std::invalid_argument(msg.str());
}

// A penalty term takes part only when its matrix is given and its weight is
// nonzero (NaN counts as nonzero).
inline bool penalty_used(const Matrix* R, double gamma) {
    return R != nullptr && gamma != 0.0;
}

// Checks that a penalty matrix that will be used is p x p.
inline void require_penalty_shape(const char* name, const Matrix* R, double gamma,
                                  Index p, const char* p_name) {
    if (!penalty_used(R, gamma)) return;
    require(R->rows() == R->cols(), name, " is ", R->rows(), " x ", R->cols(),
            " but must be square");
    require(R->rows() == p, name, " is ", R->rows(), " x ", R->cols(), " but ", p_name,
            " has ", p, " entries");
}

}  // namespace qorv
