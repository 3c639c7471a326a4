// Module definition and every registration. Bindings only convert: each
// entry forwards to one operation of a subsystem.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "scoring.hpp"

namespace py = pybind11;
using qorv::Matrix;
using qorv::Vector;

namespace {

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

}  // namespace

PYBIND11_MODULE(qorv_core, m) {
    m.doc() = "QORV-P performans-kritik cekirdegi (C++/Eigen).";
    register_scoring(m);
}
