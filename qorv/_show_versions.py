"""qorv.show_versions(): what a problem report needs to know about this
installation, in the manner of sklearn.show_versions()."""

import importlib
import platform
import sys
from importlib.metadata import PackageNotFoundError, version


def _distribution_version(name: str) -> str:
    try:
        return version(name)
    except PackageNotFoundError:
        return "not installed"


def _sections() -> dict[str, dict[str, str]]:
    from . import __version__

    # The kernel module's companion, built with it and imported from the same
    # place; it applies qorv_core's choice of kernel level.
    runtime = importlib.import_module("_qorv_runtime")
    library, openmp = runtime.openmp_runtime()
    return {
        "System": {
            "python": sys.version.replace("\n", " "),
            "executable": sys.executable,
            "machine": platform.platform(),
        },
        "Python dependencies": {
            "qorv": __version__,
            "numpy": _distribution_version("numpy"),
            "scikit-learn": _distribution_version("scikit-learn"),
        },
        "Native kernel": {
            "kernel level": str(runtime.kernel_level()),
            "levels available": ", ".join(runtime.supported_kernel_levels()),
            "OpenMP runtime": f"{library} (OpenMP {openmp})",
            "built with": str(runtime.compiler()),
            "threads per fit": str(runtime.max_threads()),
        },
    }


def show_versions() -> None:
    """Print the versions of qorv, Python, NumPy and scikit-learn, the kernel
    level in use and the levels this processor runs, the OpenMP runtime and
    the number of threads a fit would use. Please include the output when
    reporting a problem."""
    for title, info in _sections().items():
        print(f"\n{title}:")
        for key, value in info.items():
            print(f"{key:>17}: {value}")
