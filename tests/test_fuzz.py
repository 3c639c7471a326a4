"""Hostile input for every public function: the interpreter must survive, and
every failure must be a documented Python exception that has a message.

A crash would end the whole pytest run, so the tests below run in a child
interpreter started by test_fuzz_runs_clean_in_a_child_interpreter; there a
crash fails one test. QORV_FUZZ_EXAMPLES sets the examples per property
(200 by default).
"""
import copy
import copyreg
import functools
import os
import pickle
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import qorv_core as q

EXAMPLES = int(os.environ.get("QORV_FUZZ_EXAMPLES", "200"))
settings.register_profile(
    "qorv-fuzz", max_examples=EXAMPLES, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much])
FUZZ = settings(settings.get_profile("qorv-fuzz"))
in_child = pytest.mark.fuzz_child

# Requests for more memory than the machine has must be refused; they are
# only drawn where the smallest of them (64 GiB) is certain to be too much.
PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
BEYOND_MEMORY = PHYSICAL < 64 * 2**30

DOCUMENTED = (TypeError, ValueError, MemoryError, OverflowError, IndexError)


def survives(fn, *args, optional_matrices=False):
    """Calls fn; a failure must be documented and explain itself. Only an
    optional matrix that cannot be converted raises RuntimeError. The outcome
    is recorded for --hypothesis-show-statistics."""
    try:
        result = fn(*args)
    except DOCUMENTED as e:
        event(f"{fn.__name__}: {type(e).__name__}")
        assert str(e), f"{type(e).__name__} without a message"
    except RuntimeError as e:
        event(f"{fn.__name__}: RuntimeError")
        assert optional_matrices and str(e).startswith("Unable to cast Python instance"), repr(e)
    else:
        event(f"{fn.__name__}: returned")
        return result
    return None


def beyond_memory(*values):
    return st.sampled_from(values) if BEYOND_MEMORY else st.nothing()


def draw_args(data, *choices):
    """One value per (usual, hostile) pair of strategies. At most one argument,
    picked at random, is drawn from its hostile strategy, so that most calls
    get past argument conversion and into the operation."""
    hostile = data.draw(st.one_of(st.none(), st.integers(0, len(choices) - 1)))
    return [data.draw(bad if i == hostile else usual) for i, (usual, bad) in enumerate(choices)]


JUNK = st.sampled_from([None, "abc", 3.5, [[1.0], [2.0, 3.0]], {"a": 1}, object()])
# Values that no 32-bit integer parameter accepts.
NOT_INT32 = st.sampled_from([2**31, -2**31 - 1, 2**64, -10**30, 2.0, np.float64(1.0), None, "1"])


def ints(lo, hi, *extremes):
    """lo..hi as Python or NumPy ints or bools, or one of the extremes."""
    small = st.integers(lo, hi)
    usual = st.one_of(small, small, small.map(np.int32), st.booleans(),
                      st.sampled_from(extremes or (lo,)))
    return usual, NOT_INT32


ANY_INT = ints(-5, 50, -2**31, 2**31 - 1, -1)
DOUBLES = (st.one_of(st.floats(), st.floats(), st.integers(-10, 10),
                     st.sampled_from([np.float32(0.5), np.int64(7), True])),
           st.sampled_from([10**400, None, 1j, "1.0"]))
# Elements NumPy converts to float64 (None becomes NaN), and ones it cannot.
NUMBERS = st.one_of(st.floats(), st.integers(-10**30, 10**30), st.none())
NOT_NUMBERS = st.one_of(st.text(max_size=2), st.complex_numbers(), st.just([1.0]))
DTYPES = st.sampled_from(["f8", "f4", "f2", "i1", "i8", "u8", "?", "c16"])
SIDES = st.integers(0, 6)


def relaid(a):
    """The same values in C order, in Fortran order, or as a reversed view;
    or the first row (column) repeated by broadcasting, with a stride of 0."""
    if not a.ndim:
        return st.just(a)
    layouts = [a, np.asfortranarray(a), a[::-1], np.broadcast_to(a[:1], a.shape)]
    if a.ndim == 2:
        layouts.append(np.broadcast_to(a[:, :1], a.shape))
    return st.sampled_from(layouts)


def arrays(shape):
    """Any numeric dtype (NaN, infinities, extreme integers and complex
    values included) or numbers in an object array, in any layout."""
    numeric = st.one_of(hnp.arrays("f8", shape), DTYPES.flatmap(lambda dt: hnp.arrays(dt, shape)))
    return st.one_of(numeric, numeric, hnp.arrays(object, shape, elements=NUMBERS)).flatmap(relaid)


def unconvertible(shapes):
    return st.one_of(arrays(shapes), hnp.arrays(object, shapes, elements=NOT_NUMBERS), JUNK)


def vector(n):
    """n entries as a 1-D array, an (n, 1) column or a list; hostile: another
    shape, values NumPy cannot cast, or no array at all."""
    usual = st.one_of(arrays(st.just((n,))), arrays(st.just((n, 1))),
                      st.lists(st.floats(), min_size=n, max_size=n))
    odd = st.one_of(st.just(()), st.tuples(st.integers(1, 3), st.integers(2, 3)),
                    hnp.array_shapes(min_dims=3, max_dims=3, max_side=3))
    return usual, unconvertible(odd)


def matrix(rows, cols):
    usual = st.one_of(arrays(st.just((rows, cols))), arrays(st.just((rows, cols))),
                      st.lists(st.lists(st.floats(), min_size=cols, max_size=cols),
                               min_size=rows, max_size=rows))
    ragged = st.lists(st.lists(st.floats(), max_size=3), min_size=2, max_size=3).filter(
        lambda rows_: len({len(r) for r in rows_}) > 1)
    odd = st.one_of(st.just(()), hnp.array_shapes(min_dims=3, max_dims=4, max_side=3))
    return usual, st.one_of(unconvertible(odd), ragged)


def optional_matrix(side):
    """None, a square matrix that fits, or one that does not."""
    square = matrix(side, side)[0]
    usual = st.one_of(st.none(), square, square, matrix(side, side + 1)[0],
                      matrix(side + 1, side + 1)[0])
    return usual, matrix(side, side)[1]


def sized(data, n):
    """n most of the time, else another size."""
    return n if data.draw(st.integers(0, 3)) else data.draw(SIDES)


def rows(x):
    try:
        return len(x)
    except TypeError:
        return 0


@in_child
@FUZZ
@given(st.data())
def test_scoring(data):
    n, p = data.draw(SIDES), data.draw(SIDES)
    yp, yt, k, H, eps, beta, R1, R2, gamma1, gamma2 = draw_args(
        data, vector(n), vector(sized(data, n)), ANY_INT, ANY_INT, DOUBLES, vector(p),
        matrix(p, sized(data, p)), matrix(sized(data, p), p), DOUBLES, DOUBLES)
    survives(q.mad, yp)
    survives(q.compute_sr, yp, yt, eps)
    survives(q.mdl_score, yp, yt, k, H)
    survives(q.mdl_score_reg, yp, yt, k, H, beta, R1, R2, gamma1, gamma2)


@in_child
@FUZZ
@given(st.lists(st.sampled_from([np.nan, np.inf, -np.inf, 0.0, 1.0, -1.0]) | st.floats(),
                max_size=300))
def test_median_of_values_with_nan(values):
    # Selection with NaN has no defined order; it must stay inside the buffer.
    assert isinstance(q.mad(np.array(values)), float)


@in_child
@FUZZ
@given(st.data())
def test_one_dimensional_bases(data):
    deg, x = draw_args(data, ints(-4, 40, -2**31, -2), vector(data.draw(SIDES)))
    survives(q.design_matrix_1d, deg, x)
    # With 8 or more samples a huge degree asks for at least 64 GiB.
    huge = data.draw(st.one_of(st.none(), beyond_memory(10**9, 2**31 - 1)))
    if huge is not None:
        survives(q.design_matrix_1d, huge, data.draw(arrays(st.integers(8, 12).map(
            lambda m: (m,)))))
    degrees = ints(-4, 12, -2**31)
    degrees = (st.one_of(degrees[0], beyond_memory(10**5, 2 * 10**9, 2**31 - 1)), degrees[1])
    deg, lo, hi, n_grid = draw_args(data, degrees, DOUBLES, DOUBLES, ints(2, 200, 1, 0, -3, -2**31))
    survives(q.smoothness_penalty_matrices_1d, deg, lo, hi, n_grid)
    survives(q.boundary_reduce_1d, deg, lo, hi)


@in_child
@FUZZ
@given(st.data())
def test_design_matrix_nd(data):
    D, n = data.draw(st.integers(0, 4)), data.draw(SIDES)
    exponents = ints(-3, 8, -2**31, 2**31 - 1)
    multi_index = st.one_of(
        st.lists(exponents[0], min_size=D, max_size=D), st.lists(exponents[0], max_size=5),
        hnp.arrays("i8", D, elements=st.integers(-3, 9)))
    multi_indices = (st.lists(multi_index, max_size=6),
                     st.one_of(st.lists(st.lists(exponents[1], min_size=1), min_size=1), JUNK))
    columns = (st.lists(st.one_of(vector(n)[0], vector(n)[0], vector(data.draw(SIDES))[0]),
                        min_size=D, max_size=D),
               st.one_of(st.lists(vector(n)[1], min_size=1, max_size=3), JUNK))
    survives(q.design_matrix_nd, *draw_args(data, multi_indices, columns))


@in_child
@FUZZ
@given(st.data())
def test_build_penalty_matrices_nd(data):
    D = data.draw(st.integers(0, 3))
    degree = ints(-2, 3, -2**31)
    # Many dimensions give a grid of 2**64 points or more.
    usual = st.lists(degree[0], min_size=D, max_size=D)
    degrees = data.draw(st.one_of(usual, usual, usual,
                                  st.sampled_from([[0] * 64, [1] * 40, [0] * 10**5])))
    size = sized(data, len(degrees))
    pair = st.tuples(DOUBLES[0], DOUBLES[0])
    bounds = st.just([(0.0, 1.0)] * size) if size > 4 else st.lists(pair, min_size=size,
                                                                     max_size=size)
    bad_pair = st.one_of(st.tuples(DOUBLES[1], DOUBLES[0]), st.lists(st.floats(), max_size=1),
                         st.tuples(st.floats(), st.floats(), st.floats()), JUNK)
    n_grid = ints(2, 8, 1, 0, -2**31)
    n_grid = (st.one_of(n_grid[0], beyond_memory(2**31 - 1)), n_grid[1])
    args = draw_args(data, (st.just(degrees), st.one_of(st.lists(degree[1], min_size=1), JUNK)),
                     (bounds, st.lists(bad_pair, min_size=1, max_size=3)), n_grid)
    survives(q.build_penalty_matrices_nd, *args)


@in_child
@FUZZ
@given(st.data())
def test_fits(data):
    n, p = data.draw(SIDES), data.draw(SIDES)
    # Beyond 16 columns Eigen's SVD divides and conquers instead of rotating.
    large = hnp.arrays("f8", st.tuples(st.integers(0, 24), st.integers(0, 24)))
    X = matrix(n, p)
    X = (st.one_of(X[0], large), X[1])
    X, y, R1, R2, gamma1, gamma2, ridge = draw_args(
        data, X, vector(sized(data, n)), optional_matrix(p), optional_matrix(p),
        DOUBLES, DOUBLES, DOUBLES)
    survives(q.ols, X, y)
    survives(q.fit_regularized_linear, X, y, R1, R2, gamma1, gamma2, ridge,
             optional_matrices=True)


@in_child
@FUZZ
@given(st.data())
def test_gibbs_entropy(data):
    survives(q.gibbs_entropy, *draw_args(data, vector(data.draw(st.integers(0, 8))), DOUBLES))


@in_child
@FUZZ
@given(st.data())
def test_tournament_mcmc(data):
    # Step counts stay tiny: the search costs n_chains * (n_warmup + n_deep).
    n_chains = ints(1, 4, 0, -1, -2**31)
    n_chains = (st.one_of(n_chains[0], n_chains[0], beyond_memory(2**31 - 1)), n_chains[1])
    seed = (st.integers(0, 2**64 - 1), st.sampled_from([-1, 2**64, 1.5]))
    config = draw_args(data, n_chains, ints(0, 3, -1, -2**31), ints(0, 3, -1, -2**31), ANY_INT,
                       DOUBLES, ANY_INT, seed)
    sampler = survives(q.TournamentMCMC, *config)
    assume(sampler is not None)
    n, k = data.draw(SIDES), data.draw(st.integers(0, 4))
    X, y, R1, R2, gamma1, gamma2 = draw_args(
        data, matrix(n, k), vector(sized(data, n)), optional_matrix(k), optional_matrix(k),
        DOUBLES, DOUBLES)
    r = survives(sampler.fit, X, y, R1, R2, gamma1, gamma2, optional_matrices=True)
    if r is not None:
        assert r.beta_mcmc.shape == (np.shape(X)[1] if np.ndim(X) == 2 else 1,)
        assert isinstance(r.gibbs.r_heat + r.energy, float)


def pickling_targets():
    sampler = q.TournamentMCMC(n_chains=2, n_warmup=1, n_deep=1)
    return {"GibbsResult": q.gibbs_entropy([1.0, 2.0]),
            "MCMCResult": sampler.fit([[1.0], [2.0]], [1.0, 3.0]), "TournamentMCMC": sampler}


DUPLICATES = {f"protocol {p}": functools.partial(pickle.dumps, protocol=p)
              for p in range(pickle.HIGHEST_PROTOCOL + 1)}
DUPLICATES.update({f"object.__reduce_ex__ {p}": lambda obj, p=p: object.__reduce_ex__(obj, p)
                   for p in range(3)})
DUPLICATES.update(copy=copy.copy, deepcopy=copy.deepcopy, reduce=lambda obj: obj.__reduce__())


@in_child
@pytest.mark.parametrize("name", ["GibbsResult", "MCMCResult", "TournamentMCMC"])
@pytest.mark.parametrize("duplicate", DUPLICATES.values(), ids=DUPLICATES.keys())
def test_pickling_and_copying_raise_type_error(name, duplicate):
    # Protocols 0 and 1 and the reductions below them used to abort the
    # interpreter.
    with pytest.raises(TypeError, match=f"^cannot pickle 'qorv_core.{name}' object$"):
        duplicate(pickling_targets()[name])


@in_child
@pytest.mark.parametrize("name", ["GibbsResult", "MCMCResult", "TournamentMCMC"])
@pytest.mark.parametrize("reduce", [lambda obj: copyreg._reduce_ex(obj, 0), object.__reduce__],
                         ids=["copyreg._reduce_ex", "object.__reduce__"])
def test_the_generic_reductions_refuse_with_their_own_text(name, reduce):
    # copyreg's text names the class without its module.
    with pytest.raises(TypeError, match=f"^cannot pickle '{name}' object$"):
        reduce(pickling_targets()[name])


BARE_INSTANCES = {
    "own __new__": (lambda cls: cls.__new__(cls), "cannot create 'qorv_core.{}' instances"),
    "base __new__": (lambda cls: cls.__mro__[1].__new__(cls), "is not safe"),
    "object.__new__": (lambda cls: object.__new__(cls), "is not safe"),
    "subclass": (lambda cls: type("Sub", (cls,), {}), "is not an acceptable base type"),
}


@in_child
@pytest.mark.parametrize("name", ["GibbsResult", "MCMCResult", "TournamentMCMC"])
@pytest.mark.parametrize("make,message", BARE_INSTANCES.values(), ids=BARE_INSTANCES.keys())
def test_no_instance_without_a_constructor(name, make, message):
    # Such an instance used to read uninitialised memory on first use.
    with pytest.raises(TypeError, match=message.format(name)):
        make(getattr(q, name))


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# Each asks for far more memory than any machine has (terabytes or more)
# through small arguments. Before the sizes were checked, several of these
# touched gigabytes before failing, or overflowed the stack.
BEYOND_ANY_MEMORY = {
    "design_matrix_1d": lambda: q.design_matrix_1d(2**31 - 1, np.ones(1024)),
    "smoothness_penalty_matrices_1d": lambda: q.smoothness_penalty_matrices_1d(10**6, 0.0, 1.0),
    "boundary_reduce_1d": lambda: q.boundary_reduce_1d(2 * 10**9, 0.0, 1.0),
    "design_matrix_nd": lambda: q.design_matrix_nd([[1]] * 200_000, [np.ones(200_000)]),
    "nd_basis": lambda: q.build_penalty_matrices_nd([1] * 40, [(0.0, 1.0)] * 40, 2),
    "nd_grid": lambda: q.build_penalty_matrices_nd([3, 3], [(0.0, 1.0)] * 2, 2**31 - 1),
    "fit_regularized_linear": lambda: q.fit_regularized_linear(np.empty((0, 10**6)), []),
    "n_chains": lambda: q.TournamentMCMC(n_chains=2**31 - 1).fit(np.ones((3, 1000)), np.ones(3)),
    "mcmc_columns": lambda: q.TournamentMCMC(n_chains=1).fit(np.empty((0, 2**40)), []),
}


@in_child
@pytest.mark.parametrize("call", BEYOND_ANY_MEMORY.values(), ids=BEYOND_ANY_MEMORY.keys())
def test_requests_beyond_memory_fail_before_allocating(call):
    before = peak_rss_bytes()
    with pytest.raises(MemoryError):
        call()
    assert peak_rss_bytes() - before < 64 * 2**20


def test_fuzz_runs_clean_in_a_child_interpreter():
    path = [os.path.dirname(q.__file__), *filter(None, [os.environ.get("PYTHONPATH")])]
    env = dict(os.environ, QORV_FUZZ_CHILD="1", PYTHONPATH=os.pathsep.join(path))
    out = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--capture=sys",
         __file__],
        cwd=Path(__file__).resolve().parent.parent, env=env, capture_output=True, text=True,
        timeout=None if "QORV_FUZZ_EXAMPLES" in os.environ else 1200)
    assert out.returncode == 0, out.stdout[-6000:] + out.stderr[-6000:]
    assert " passed" in out.stdout and "skipped" not in out.stdout
