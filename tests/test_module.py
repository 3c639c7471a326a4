import pickle
import shutil
import subprocess

import numpy as np
import pytest

import qorv_core as q


def test_docstring():
    assert q.__doc__ == "QORV-P performans-kritik cekirdegi (C++/Eigen)."


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils nm")
def test_exports_only_the_init_function():
    out = subprocess.run(["nm", "-D", "--defined-only", q.__file__],
                         capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit_qorv_core"]


@pytest.mark.parametrize(
    "y",
    [
        [1, 2, 3],
        (1, 2, 3),
        np.array([1, 2, 3], dtype=np.int32),
        np.array([1, 2, 3], dtype=np.float32),
        np.array([[1.0], [2.0], [3.0]]),
        np.array([3.0, 9.0, 2.0, 1.0, 0.0, 4.0])[::2],
    ],
)
def test_vector_conversions(y):
    assert q.mad(y) == 1.0


@pytest.mark.parametrize(
    "y",
    [np.ones((1, 3)), np.ones((2, 2)), np.ones((3, 1, 1)), np.float64(1.0), ["a", "b"]],
)
def test_vector_rejections(y):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        q.mad(y)


@pytest.mark.parametrize("k", [2, True, np.int64(2), np.int32(2)])
def test_integer_conversions(k):
    assert q.mdl_score([1.0, 2.0], [1.0, 2.0], k) == q.mdl_score([1.0, 2.0], [1.0, 2.0], int(k))


@pytest.mark.parametrize("k", [2.0, np.float64(2.0), 2**31, -(2**31) - 1, "2", None])
def test_integer_rejections(k):
    with pytest.raises(TypeError):
        q.mdl_score([1.0, 2.0], [1.0, 2.0], k)


def test_double_accepts_ints_and_numpy_scalars():
    yp, yt = [1.0, 2.0], [1.0, 2.0]
    assert q.compute_sr(yp, yt, 1) == q.compute_sr(yp, yt, np.float32(1.0)) == 1.0


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.mad(z=[1.0]),
        lambda: q.mad(),
        lambda: q.mad([1.0], [2.0]),
        lambda: q.compute_sr([1.0], [1.0], 1.0, eps=1.0),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_keywords_match_parameter_names():
    assert q.mdl_score(yp=[1.0, 2.0], yt=[1.0, 2.0], k=1, H=20) == q.mdl_score([1.0, 2.0], [1.0, 2.0], 1)


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(q.mdl_score)) is q.mdl_score


def test_signature_docstrings_annotate_shapes():
    assert '"[m, 1]"' in q.mad.__doc__
    assert '"[m, n]"' in q.mdl_score_reg.__doc__


def test_registration_order():
    public = [name for name in vars(q) if not name.startswith("_")]
    assert public == [
        "mad", "compute_sr", "mdl_score", "mdl_score_reg", "design_matrix_1d",
        "smoothness_penalty_matrices_1d", "boundary_reduce_1d", "design_matrix_nd",
        "build_penalty_matrices_nd", "ols", "fit_regularized_linear", "GibbsResult",
        "gibbs_entropy", "MCMCResult", "TournamentMCMC",
    ]
