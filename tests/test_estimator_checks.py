import pytest

pytest.importorskip("sklearn")
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from qorv import PenalizedPolynomialRegressor, RobustPolynomialRegressor  # noqa: E402

# The weight check fits 30 features: at degree 2 the penalised fit has 496
# coefficients and penalty matrices; at its default degree 3, 5456. The
# robust fit rightly warns where the checks give it fewer samples than
# coefficients (286 at degree 3 for 10 features and 200 rows).
ESTIMATORS = [PenalizedPolynomialRegressor(degree=2), RobustPolynomialRegressor(degree=1)]

# scikit-learn's weight check fits 15 samples of 30 features, weighted, and
# the same samples repeated by their weights and in another order.
EXPECTED_FAILURES = {
    PenalizedPolynomialRegressor: {
        "check_sample_weight_equivalence_on_dense_data":
            "more coefficients than samples leave the fit to the 1e-10 ridge: the normal "
            "equations are so ill-conditioned that reordering the rows alone moves the "
            "predictions by 1e-4",
    },
    RobustPolynomialRegressor: {
        "check_sample_weight_equivalence_on_dense_data":
            "the randomised search counts each sample of positive weight once, so repeated "
            "rows change what it finds",
    },
}


@parametrize_with_checks(ESTIMATORS, expected_failed_checks=lambda e: EXPECTED_FAILURES[type(e)])
def test_sklearn_compatible(estimator, check, monkeypatch):
    # scikit-learn runs its array-API check (NumPy inputs with dispatch on)
    # only when SciPy's switch is set; it is read at call time
    monkeypatch.setenv("SCIPY_ARRAY_API", "1")
    check(estimator)
