import math

import numpy as np
import pytest

import qorv_core
from conftest import GIBBS_FIELDS


def reference(energies, T=1.0):
    """The Boltzmann summary computed directly with NumPy."""
    e = np.asarray(energies, dtype=float)
    w = np.exp(-(e - e.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.sum(p * np.log(p + 1e-300))
    Hmax = math.log(max(e.size, 2))
    He = H / (Hmax + 1e-300)
    return {"H": H, "Hmax": Hmax, "He": He, "r_heat": 0.01 + 0.99 * He,
            "var_E": e.var(), "T": T}


def as_dict(g):
    return {f: getattr(g, f) for f in GIBBS_FIELDS}


def test_worked_values_for_two_energies_at_the_default_temperature():
    g = qorv_core.gibbs_entropy(np.array([0.0, 1.0]))
    assert g.H == pytest.approx(0.5822031089, abs=1e-10)
    assert g.Hmax == math.log(2)
    assert g.He == pytest.approx(0.8399415380, abs=1e-10)
    assert g.r_heat == pytest.approx(0.8415421226, abs=1e-10)
    assert g.var_E == 0.25
    assert g.T == 1.0


@pytest.mark.parametrize("energies, T", [
    ([3.0, 1.0, 2.0, 10.0], 1.0),
    ([3.0, 1.0, 2.0, 10.0], 0.3),
    (np.linspace(-5.0, 5.0, 37) ** 2, 4.0),
    ([100.0, 100.5, 99.0], 2.5),
])
def test_matches_numpy(energies, T):
    got = as_dict(qorv_core.gibbs_entropy(energies, T))
    assert got == pytest.approx(reference(energies, T), rel=1e-12, abs=1e-15)


@pytest.mark.parametrize("value", [0.0, -7.5, 1e6])
def test_single_energy(value):
    got = as_dict(qorv_core.gibbs_entropy([value], 2.0))
    assert got == {"H": 0.0, "Hmax": math.log(2), "He": 0.0, "r_heat": 0.01,
                   "var_E": 0.0, "T": 2.0}


@pytest.mark.parametrize("n", [2, 5, 64])
def test_equal_energies_give_the_largest_entropy(n):
    g = qorv_core.gibbs_entropy(np.full(n, 3.25))
    assert g.H == pytest.approx(math.log(n), rel=1e-14)
    assert g.He == pytest.approx(1.0, rel=1e-14)
    assert g.r_heat == pytest.approx(1.0, rel=1e-14)
    assert g.var_E == 0.0


def test_zero_temperature_counts_the_minima():
    g = qorv_core.gibbs_entropy([1.0, 5.0, 1.0, 7.0], 0.0)
    assert g.H == pytest.approx(math.log(2), rel=1e-15)
    assert g.He == pytest.approx(0.5, rel=1e-15)
    assert g.T == 0.0


def test_shift_invariance():
    e = np.array([0.5, 2.0, 1.25, 4.0])
    a = as_dict(qorv_core.gibbs_entropy(e, 1.5))
    b = as_dict(qorv_core.gibbs_entropy(e + 1000.0, 1.5))
    assert b == pytest.approx(a, rel=1e-9)


def test_negative_temperature_overflows_to_nan():
    g = qorv_core.gibbs_entropy([0.0, 1000.0], -1.0)
    assert math.isnan(g.H) and math.isnan(g.r_heat)
    assert g.var_E == 250000.0


def test_infinite_energy_gives_nan_variance():
    assert math.isnan(qorv_core.gibbs_entropy([0.0, math.inf]).var_E)


def test_empty_energies_rejected():
    with pytest.raises(ValueError, match="energies is empty"):
        qorv_core.gibbs_entropy(np.array([]))


def test_result_has_no_constructor():
    with pytest.raises(TypeError, match=r"^qorv_core\.GibbsResult: No constructor defined!$"):
        qorv_core.GibbsResult()


@pytest.mark.parametrize("field", GIBBS_FIELDS)
def test_fields_are_read_only(field):
    g = qorv_core.gibbs_entropy([1.0, 2.0])
    with pytest.raises(AttributeError):
        setattr(g, field, 0.0)
