// Module definition and every registration. Bindings only convert: each
// entry forwards to one operation of a subsystem.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "basis.hpp"
#include "borrowed_matrix.hpp"
#include "dispatch.hpp"
#include "fitting.hpp"
#include "mcmc.hpp"
#include "scoring.hpp"

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;
using qorv::Matrix;
using qorv::Vector;

namespace {

// Optional penalty matrices R1 and R2, converted in that order: None gives a
// null pointer; anything else is copied into storage that lives as long as
// this object. An unconvertible object raises pybind11's cast error.
class OptionalPenalties {
public:
    OptionalPenalties(const py::object& R1, const py::object& R2)
        : R1(convert(R1, R1_storage_)), R2(convert(R2, R2_storage_)) {}

private:
    static const Matrix* convert(const py::object& obj, Matrix& storage) {
        if (obj.is_none()) return nullptr;
        storage = obj.cast<Matrix>();
        return &storage;
    }

    Matrix R1_storage_;
    Matrix R2_storage_;

public:
    const Matrix* const R1;
    const Matrix* const R2;
};

// Whether a signal handler has raised since the last look (Ctrl-C raises
// KeyboardInterrupt); the exception stays pending for the caller.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

// Runs op(stop) with a stop request that the signals of the calling Python
// thread answer; a stopped operation ends the call with the pending
// exception, typically KeyboardInterrupt.
template <class Op>
auto interruptible(const Op& op) {
    const qorv::Interruption stop(&python_signal_raised);
    try {
        return op(stop);
    } catch (const qorv::Interrupted&) {
        throw py::error_already_set();
    }
}

// pickle (every protocol), copy.copy, copy.deepcopy, object.__reduce_ex__
// and __reduce__ itself all call a class's own __reduce__. Without one, the
// protocols below 2 would rebuild the object through its pybind11 base
// class, which aborts the process; a result belongs to the call that made
// it and is not rebuilt elsewhere.
template <class Class>
void refuse_pickling(Class& cls) {
    const std::string name = py::str(cls.attr("__module__")).cast<std::string>() + "." +
                             py::str(cls.attr("__qualname__")).cast<std::string>();
    const std::string message = "cannot pickle '" + name + "' object";
    cls.def("__reduce__", [message](const py::object&) -> py::object {
        throw py::type_error(message);
    });
}

// Makes an instance for a call of the class, which then runs the
// constructor (or refuses: "No constructor defined!").
PyObject* new_for_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return type->tp_base->tp_new(type, args, kwargs);
}

PyObject* refuse_new(PyObject* cls, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances with __new__",
                 reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    return nullptr;
}

PyMethodDef refuse_new_method = {"__new__", reinterpret_cast<PyCFunction>(
                                                reinterpret_cast<void (*)()>(&refuse_new)),
                                 METH_VARARGS | METH_KEYWORDS, nullptr};

// An instance that no constructor has filled would be read as whatever its
// memory holds (pybind11 allocates its value on first use). Only a call of
// the class and the module's own results make instances: Class.__new__
// raises TypeError, so does the base classes' __new__ (Python refuses it
// for a class whose instance maker differs from theirs), and the class
// cannot be subclassed, since a subclass would inherit the refusing
// __new__. A __new__ of the class's own also makes copyreg's protocol 0
// and 1 reduction refuse the class rather than rebuild it through its base.
template <class Class>
void refuse_bare_instances(Class& cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_new = &new_for_constructor;
    type->tp_flags &= ~static_cast<unsigned long>(Py_TPFLAGS_BASETYPE);
    // Into the dictionary directly: setting the attribute would make Python
    // route every call of the class through the refusing __new__.
    const py::object refuse =
        py::reinterpret_steal<py::object>(PyCFunction_NewEx(&refuse_new_method, cls.ptr(), nullptr));
    if (!refuse || PyDict_SetItemString(type->tp_dict, "__new__", refuse.ptr()) != 0) {
        throw py::error_already_set();
    }
    PyType_Modified(type);
}

template <class Class>
void seal(Class& cls) {
    refuse_pickling(cls);
    refuse_bare_instances(cls);
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
            qorv::PenaltyMatrices1D r = interruptible([&](const qorv::Interruption& stop) {
                return qorv::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid, stop);
            });
            return std::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"), py::arg("n_grid") = 600);
    m.def("boundary_reduce_1d", &qorv::boundary_reduce_1d, py::arg("deg"), py::arg("x_min"),
          py::arg("x_max"));
    m.def(
        "design_matrix_nd",
        [](const qorv::MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
            return interruptible([&](const qorv::Interruption& stop) {
                return qorv::design_matrix_nd(multi_indices, X_cols, stop);
            });
        },
        py::arg("multi_indices"), py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim) {
            qorv::PenaltyMatricesND r = interruptible([&](const qorv::Interruption& stop) {
                return qorv::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim, stop);
            });
            return std::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        py::arg("degrees"), py::arg("bounds"), py::arg("n_grid_per_dim") = 30);
}

void register_fitting(py::module_& m) {
    m.def(
        "ols",
        [](const qorv::MatrixInput& X, const qorv::VectorInput& y) {
            return qorv::ols(X.view(), y.view());
        },
        py::arg("X"), py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const qorv::MatrixInput& Phi, const qorv::VectorInput& y, const py::object& R1,
           const py::object& R2, double gamma1, double gamma2, double ridge) {
            const OptionalPenalties pen(R1, R2);
            return qorv::fit_regularized_linear(Phi.view(), y.view(), pen.R1, pen.R2, gamma1,
                                                gamma2, ridge);
        },
        py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0, py::arg("ridge") = 1e-10);
}

void register_mcmc(py::module_& m) {
    using qorv::GibbsResult;
    using qorv::MCMCResult;
    using qorv::TournamentMCMC;

    py::class_<GibbsResult> gibbs(m, "GibbsResult");
    gibbs.def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T);
    seal(gibbs);
    m.def("gibbs_entropy", &qorv::gibbs_entropy, py::arg("energies"), py::arg("T") = 1.0);

    // Read-only members of reference type come back as read-only views
    // (beta_mcmc) and references (gibbs) that keep the result alive.
    py::class_<MCMCResult> result(m, "MCMCResult");
    result.def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
        .def_readonly("energy", &MCMCResult::energy)
        .def_readonly("gibbs", &MCMCResult::gibbs)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite);
    seal(result);

    py::class_<TournamentMCMC> sampler(m, "TournamentMCMC");
    sampler.def(py::init<int, int, int, int, double, int, std::uint64_t>(),
             py::arg("n_chains") = 25, py::arg("n_warmup") = 200, py::arg("n_deep") = 2000,
             py::arg("n_elite") = 5, py::arg("step_size") = 0.05, py::arg("H_piH") = 20,
             py::arg("seed") = 42)
        .def(
            "fit",
            [](const TournamentMCMC& self, const Matrix& X, const Vector& y,
               const py::object& R1, const py::object& R2, double gamma1, double gamma2) {
                const OptionalPenalties pen(R1, R2);
                return interruptible([&](const qorv::Interruption& stop) {
                    return self.fit(X, y, pen.R1, pen.R2, gamma1, gamma2, stop);
                });
            },
            py::arg("X"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
            py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
    seal(sampler);
}

}  // namespace

PYBIND11_MODULE(qorv_core, m) {
    m.doc() = "QORV-P performans-kritik cekirdegi (C++/Eigen).";
    // A bad QORV_MAX_CPU_LEVEL fails the import (ImportError with the text).
    qorv::select_kernels();
    register_scoring(m);
    register_basis(m);
    register_fitting(m);
    register_mcmc(m);
}
