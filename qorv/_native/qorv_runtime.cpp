// The private module _qorv_runtime: what qorv.show_versions() reports of the
// native side, and the row passes and row sample of qorv's robust fit. It
// links the same dispatch as qorv_core and applies the same rule to the same
// environment variable at its import.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "dispatch.hpp"
#include "random_rows.hpp"
#include "robust_rows.hpp"

#include <dlfcn.h>
#include <omp.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// Names of the levels built for this architecture, narrowest first; with
// `supported_only`, those this processor runs.
std::vector<std::string> kernel_levels(bool supported_only) {
    std::vector<std::string> names;
    for (int i = 0; i < qorv::level_count(); ++i) {
        if (!supported_only || qorv::level_supported(i)) {
            names.emplace_back(qorv::level_kernels(i).level);
        }
    }
    return names;
}

// The file of the OpenMP runtime that this process loaded, and the version
// of OpenMP (the _OPENMP date, yyyymm) the module was compiled against.
std::pair<std::string, int> openmp_runtime() {
    Dl_info info{};
    const bool found = dladdr(reinterpret_cast<void*>(&omp_get_max_threads), &info) != 0 &&
                       info.dli_fname != nullptr;
    return {found ? info.dli_fname : "unknown", _OPENMP};
}

// The compiler that built the module, whose OpenMP runtime it expects.
const char* compiler() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#else
    return "GCC " __VERSION__;
#endif
}

// A float64 array of `ndim` (1 or 2) dimensions, read in place.
qorv::StridedMatrix strided(const py::array_t<double>& array, const char* name,
                            py::ssize_t ndim) {
    qorv::require(array.ndim() == ndim, name, " has ", array.ndim(), " dimensions but must have ",
                  ndim);
    const auto doubles = [&](py::ssize_t d) {
        const auto size = static_cast<py::ssize_t>(sizeof(double));
        qorv::require(array.strides(d) % size == 0, name, " has a stride of ", array.strides(d),
                      " bytes, not a whole number of doubles");
        return static_cast<qorv::Index>(array.strides(d) / size);
    };
    return {array.data(), array.shape(0), ndim == 2 ? array.shape(1) : 1, doubles(0),
            ndim == 2 ? doubles(1) : 1};
}

// A contiguous float64 vector of `n` entries, read in place.
const double* vector_of(const py::array_t<double>& array, const char* name, qorv::Index n) {
    const qorv::StridedMatrix v = strided(array, name, 1);
    qorv::require(v.rows == n, name, " has ", v.rows, " entries but must have ", n);
    qorv::require(v.row_stride == 1 || n <= 1, name, " must be contiguous");
    return v.data;
}

// The storage of a writable, C-ordered float64 array of `shape` ({rows, cols}
// or {n}).
double* output_of(py::array& array, const char* name, std::vector<qorv::Index> shape) {
    qorv::require(py::array_t<double>::check_(array) &&
                      (array.flags() & py::array::c_style) == py::array::c_style,
                  name, " must be a C-ordered float64 array");
    const auto ndim = static_cast<py::ssize_t>(shape.size());
    qorv::require(array.ndim() == ndim, name, " has ", array.ndim(),
                  " dimensions but must have ", ndim);
    if (ndim == 2) {
        qorv::require(array.shape(0) == shape[0] && array.shape(1) == shape[1], name, " is ",
                      array.shape(0), " x ", array.shape(1), " but must be ", shape[0], " x ",
                      shape[1]);
    } else {
        qorv::require(array.shape(0) == shape[0], name, " has ", array.shape(0),
                      " entries but must have ", shape[0]);
    }
    return static_cast<double*>(array.mutable_data());
}

qorv::Index weighted_rows(const py::array_t<double>& Phi, const py::array_t<double>& y,
                          const py::array_t<double>& a, py::array& Phi_out, py::array& y_out) {
    const qorv::StridedMatrix X = strided(Phi, "Phi", 2);
    const double* yv = vector_of(y, "y", X.rows);
    const double* av = vector_of(a, "a", X.rows);
    double* Xo = output_of(Phi_out, "Phi_out", {X.rows, X.cols});
    double* yo = output_of(y_out, "y_out", {X.rows});
    return qorv::weighted_rows(X, yv, av, Xo, yo);
}

// A float64 vector of `n` entries read in place, through any stride; a
// single number (no dimensions) stands for n equal entries.
qorv::StridedVector entries_of(const py::array_t<double>& array, const char* name,
                               qorv::Index n) {
    if (array.ndim() == 0) return {array.data(), 0};
    const qorv::StridedMatrix v = strided(array, name, 1);
    qorv::require(v.rows == n, name, " has ", v.rows, " entries but must have ", n);
    return {v.data, v.row_stride};
}

std::pair<qorv::Index, double> bisquare_rows(const py::array_t<double>& Phi,
                                             const py::array_t<double>& y,
                                             const py::array_t<double>& beta,
                                             const py::array_t<double>& w,
                                             const py::array_t<double>& inverse,
                                             const py::array_t<double>& square,
                                             py::array& Phi_out, py::array& y_out) {
    const qorv::StridedMatrix X = strided(Phi, "Phi", 2);
    const double* yv = vector_of(y, "y", X.rows);
    const double* b = vector_of(beta, "beta", X.cols);
    const qorv::StridedVector wv = entries_of(w, "w", X.rows);
    const qorv::StridedVector iv = entries_of(inverse, "inverse", X.rows);
    const qorv::StridedVector sv = entries_of(square, "square", X.rows);
    double* Xo = output_of(Phi_out, "Phi_out", {X.rows, X.cols});
    double* yo = output_of(y_out, "y_out", {X.rows});
    const qorv::BisquarePass pass = qorv::bisquare_rows(X, yv, b, wv, iv, sv, Xo, yo);
    return {pass.written, pass.rho_complement};
}

py::array_t<double> fitted_values(const py::array_t<double>& Phi,
                                  const py::array_t<double>& beta) {
    const qorv::StridedMatrix X = strided(Phi, "Phi", 2);
    const double* b = vector_of(beta, "beta", X.cols);
    py::array_t<double> out(static_cast<py::ssize_t>(X.rows));
    qorv::fitted_values(X, b, out.mutable_data());
    return out;
}

double dot(const py::array_t<double>& a, const py::array_t<double>& b) {
    const qorv::Index n = strided(a, "a", 1).rows;
    qorv::require(b.ndim() == 1, "b has ", b.ndim(), " dimensions but must have 1");
    return qorv::dot(entries_of(a, "a", n), entries_of(b, "b", n), n);
}

double bisquare_scale(const py::array_t<double>& r, const py::array_t<double>& w, double s,
                      double target, double tuning, double tolerance, int cap) {
    const qorv::Index n = strided(r, "r", 1).rows;
    return qorv::bisquare_scale(vector_of(r, "r", n), vector_of(w, "w", n), n, s, target, tuning,
                                tolerance, cap);
}

std::pair<double, double> window_sums(const py::array_t<double>& a, const py::array_t<double>& w,
                                     double limit) {
    const qorv::Index n = strided(a, "a", 1).rows;
    const qorv::WindowSums sums =
        qorv::window_sums(vector_of(a, "a", n), vector_of(w, "w", n), n, limit);
    return {sums.weight, sums.squares};
}

std::pair<double, double> middle_values(const py::array_t<double>& values) {
    const qorv::Index n = strided(values, "values", 1).rows;
    qorv::require(n >= 1, "values is empty");
    const qorv::MiddleValues middle = qorv::middle_values(vector_of(values, "values", n), n);
    return {middle.lower, middle.upper};
}

// (the first m entries of RandomState.permutation(n), the position after
// its draws), the 624 words of `key` advanced in place.
std::pair<py::array_t<std::int64_t>, int> permutation_prefix(py::array& key, int pos,
                                                             std::int64_t n, std::int64_t m) {
    qorv::require(py::array_t<std::uint32_t>::check_(key) && key.ndim() == 1 &&
                      key.shape(0) == qorv::kMt19937Words &&
                      (key.flags() & py::array::c_style) == py::array::c_style && key.writeable(),
                  "key must be a writable, contiguous uint32 array of ", qorv::kMt19937Words,
                  " words");
    qorv::require(pos >= 0 && pos <= qorv::kMt19937Words, "pos is ", pos, " but must be from 0 to ",
                  qorv::kMt19937Words);
    qorv::require(m >= 0 && m <= n && n <= (std::int64_t{1} << 32), "m is ", m, " and n is ", n,
                  " but they must satisfy 0 <= m <= n <= 2**32");
    qorv::Mt19937State state{static_cast<std::uint32_t*>(key.mutable_data()), pos};
    const std::vector<std::int64_t> prefix = qorv::permutation_prefix(state, n, m);
    return {py::array_t<std::int64_t>(static_cast<py::ssize_t>(prefix.size()), prefix.data()),
            state.pos};
}

}  // namespace

PYBIND11_MODULE(_qorv_runtime, m) {
    m.doc() = "Kernel levels and OpenMP runtime of qorv_core, for qorv.show_versions(), and "
              "the row passes of qorv's robust fit.";
    // A bad QORV_MAX_CPU_LEVEL fails this import as it fails qorv_core's.
    qorv::select_kernels();
    m.def("kernel_level", [] { return std::string(qorv::kernels().level); },
          "The kernel level qorv_core uses in this process.");
    m.def("kernel_levels", [] { return kernel_levels(false); },
          "Every level built for this architecture, narrowest first: the values of "
          "QORV_MAX_CPU_LEVEL.");
    m.def("supported_kernel_levels", [] { return kernel_levels(true); },
          "The levels this processor runs, narrowest first.");
    m.def("openmp_runtime", &openmp_runtime,
          "(file of the loaded OpenMP runtime, OpenMP version yyyymm compiled against).");
    m.def("compiler", &compiler, "The compiler that built the native modules.");
    m.def("max_threads", [] { return omp_get_max_threads(); },
          "Threads a parallel region started by the calling thread gets.");
    m.def("weighted_rows", &weighted_rows, py::arg("Phi"), py::arg("y"), py::arg("a"),
          py::arg("Phi_out"), py::arg("y_out"),
          "Writes sqrt(a) times each row of Phi and entry of y whose weight a is not 0 into "
          "the first rows of Phi_out and y_out, in order; returns how many it wrote.");
    m.def("bisquare_rows", &bisquare_rows, py::arg("Phi"), py::arg("y"), py::arg("beta"),
          py::arg("w"), py::arg("inverse"), py::arg("square"), py::arg("Phi_out"),
          py::arg("y_out"),
          "One pass of a bisquare M-step at beta: with v = 1 - min(|y - Phi beta| * inverse, "
          "1)**2, writes the rows as weighted_rows does for the weights w * v**2; returns "
          "(rows written, sum(w * v**3 * square)). w, inverse and square have an entry per "
          "row, or are one number for every row.");
    m.def("fitted_values", &fitted_values, py::arg("Phi"), py::arg("beta"),
          "Phi @ beta in a new array, each row summed in column order: the same bits on "
          "every processor and thread count.");
    m.def("dot", &dot, py::arg("a"), py::arg("b"),
          "a @ b for two vectors of equal length, summed in a fixed order: the same bits on "
          "every processor.");
    m.def("bisquare_scale", &bisquare_scale, py::arg("r"), py::arg("w"), py::arg("s"),
          py::arg("target"), py::arg("tuning"), py::arg("tolerance"), py::arg("cap"),
          "Iterates s = s * sqrt(bisquare_rho_sum(r, w, 1 / (s * tuning)) / target) from s "
          "until a step changes s by at most tolerance * s (returns that step's s) or cap "
          "steps were made; 0.0 once a step gives no positive s.");
    m.def("window_sums", &window_sums, py::arg("a"), py::arg("w"), py::arg("limit"),
          "(sum(w[inside]), sum(w[inside] * a[inside]**2)) for inside = a <= limit.");
    m.def("middle_values", &middle_values, py::arg("values"),
          "(np.partition(values, k)[k] for k = (n - 1) // 2 and n // 2): the two middle "
          "values, NaN above every number.");
    m.def("permutation_prefix", &permutation_prefix, py::arg("key"), py::arg("pos"), py::arg("n"),
          py::arg("m"),
          "(RandomState.permutation(n)[:m], pos after) for the MT19937 state (key, pos) of a "
          "RandomState; key is advanced in place as that call advances it (m <= n <= 2**32).");
}
