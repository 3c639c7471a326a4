"""Polynomial models that resist outliers, as scikit-learn estimators.

`RobustPolynomialRegressor` fits by the tournament MCMC search of the
kernel module `qorv_core` and refits least squares on the inliers it finds;
`PenalizedPolynomialRegressor` fits penalised least squares. The estimators
need scikit-learn (`pip install 'qorv-core[sklearn]'`); they are imported on
first use, so `qorv.__version__` works without it, and asking for one
without scikit-learn raises ImportError naming the extra to install.
`show_versions()` prints what a problem report needs.
"""

from importlib.metadata import PackageNotFoundError, version
from typing import Any

try:
    __version__ = version("qorv-core")
except PackageNotFoundError:  # a build tree on PYTHONPATH, not an installation
    __version__ = "0+unknown"

from ._show_versions import show_versions

__all__ = ["PenalizedPolynomialRegressor", "RobustPolynomialRegressor", "__version__",
           "show_versions"]


def __getattr__(name: str) -> Any:
    if name in ("PenalizedPolynomialRegressor", "RobustPolynomialRegressor"):
        try:
            from . import _estimators
        except ModuleNotFoundError as error:
            if error.name is None or error.name.partition(".")[0] != "sklearn":
                raise
            raise ImportError(
                f"qorv.{name} needs scikit-learn, which is not installed: "
                "pip install 'qorv-core[sklearn]' (from a source tree: pip install '.[sklearn]')"
            ) from error
        return getattr(_estimators, name)
    raise AttributeError(f"module 'qorv' has no attribute {name!r}")
