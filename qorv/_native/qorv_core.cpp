// Module definition and every registration. Bindings only convert: each
// entry forwards to one operation of a subsystem.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "basis.hpp"
#include "fitting.hpp"
#include "scoring.hpp"

#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;
using qorv::Matrix;
using qorv::Vector;

namespace {

// An optional matrix argument: None gives a null pointer; anything else is
// converted into `storage`, which must outlive the call it is passed to. An
// unconvertible object raises pybind11's cast error.
const Matrix* optional_matrix(const py::object& obj, Matrix& storage) {
    if (obj.is_none()) return nullptr;
    storage = obj.cast<Matrix>();
    return &storage;
}

void register_scoring(py::module_& m) {
    m.def("mad", &qorv::mad, py::arg("y"));
    m.def("compute_sr", &qorv::compute_SR, py::arg("yp"), py::arg("yt"), py::arg("eps"));
    m.def(
        "mdl_score",
        [](const Vector& yp, const Vector& yt, int k, int H) {
            return qorv::mdl_score(yp, yt, k, H);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H") = 20);
    m.def(
        "mdl_score_reg",
        [](const Vector& yp, const Vector& yt, int k, int H, const Vector& beta,
           const Matrix& R1, const Matrix& R2, double gamma1, double gamma2) {
            const qorv::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return qorv::mdl_score(yp, yt, k, H, &beta, &pen);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"), py::arg("beta"),
        py::arg("R1"), py::arg("R2"), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}

void register_basis(py::module_& m) {
    m.def("design_matrix_1d", &qorv::design_matrix_1d, py::arg("deg"), py::arg("x"));
    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max, int n_grid) {
            qorv::PenaltyMatrices1D r =
                qorv::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            return std::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"), py::arg("n_grid") = 600);
    m.def("boundary_reduce_1d", &qorv::boundary_reduce_1d, py::arg("deg"), py::arg("x_min"),
          py::arg("x_max"));
    m.def("design_matrix_nd", &qorv::design_matrix_nd, py::arg("multi_indices"),
          py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim) {
            qorv::PenaltyMatricesND r =
                qorv::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            return std::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        py::arg("degrees"), py::arg("bounds"), py::arg("n_grid_per_dim") = 30);
}

void register_fitting(py::module_& m) {
    m.def("ols", &qorv::ols, py::arg("X"), py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const Matrix& Phi, const Vector& y, const py::object& R1, const py::object& R2,
           double gamma1, double gamma2, double ridge) {
            Matrix R1_copy;
            Matrix R2_copy;
            const Matrix* r1 = optional_matrix(R1, R1_copy);
            const Matrix* r2 = optional_matrix(R2, R2_copy);
            return qorv::fit_regularized_linear(Phi, y, r1, r2, gamma1, gamma2, ridge);
        },
        py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0, py::arg("ridge") = 1e-10);
}

}  // namespace

PYBIND11_MODULE(qorv_core, m) {
    m.doc() = "QORV-P performans-kritik cekirdegi (C++/Eigen).";
    register_scoring(m);
    register_basis(m);
    register_fitting(m);
}
