import pytest

pytest.importorskip("sklearn")
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from qorv import PenalizedPolynomialRegressor, RobustPolynomialRegressor  # noqa: E402


@parametrize_with_checks([PenalizedPolynomialRegressor(), RobustPolynomialRegressor(degree=1)])
def test_sklearn_compatible(estimator, check, monkeypatch):
    # scikit-learn runs its array-API check (NumPy inputs with dispatch on)
    # only when SciPy's switch is set; it is read at call time
    monkeypatch.setenv("SCIPY_ARRAY_API", "1")
    check(estimator)
