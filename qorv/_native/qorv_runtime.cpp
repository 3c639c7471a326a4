// The private module _qorv_runtime: what qorv.show_versions() reports of the
// native side. It links the same dispatch as qorv_core and applies the same
// rule to the same environment variable at its import.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "dispatch.hpp"

#include <dlfcn.h>
#include <omp.h>

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

}  // namespace

PYBIND11_MODULE(_qorv_runtime, m) {
    m.doc() = "Kernel levels and OpenMP runtime of qorv_core, for qorv.show_versions().";
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
}
