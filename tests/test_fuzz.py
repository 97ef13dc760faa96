"""Property-based fuzzing of the whole Python surface: whatever is passed, the call returns or
raises the exception the interface names for the first bad argument, and never writes to its
inputs."""
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import quarnel
from quarnel import Optimizer
from support import PanicException

FUZZ = settings(max_examples=200, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
HUGE = 2**62
METRICS = ["max_last", "var_last", "total_var", "max_last_10", "var_last_10"]
NORMS = ["max", "infinity", "frobenius"]


# Every drawn argument is (value, verdict): "ok", "huge" (converts, but too big to allocate for),
# or the exception type its conversion raises.
def judged(values, kind):
    return values.map(lambda v: (v, kind))


def mostly(good, *bad):
    """Nine times in ten a good value, so that calls often get past conversion to the core."""
    return st.integers(0, 9).flatmap(lambda draw: st.one_of(*bad) if draw == 0 else good)


def view_of(array, layout):
    if layout == "reversed" and array.ndim:
        return array[::-1]
    if layout == "strided" and array.ndim:
        return np.repeat(array, 2, axis=-1)[..., ::2]
    if layout == "transposed":
        return array.T
    if layout == "broadcast" and array.ndim and array.shape[-1] == 1:
        return np.broadcast_to(array, array.shape[:-1] + (3,))
    if layout == "read-only":
        array = array.copy()
        array.flags.writeable = False
    return array


def arrays_of(ndim):
    """Float64 arrays of `ndim` dimensions in any layout, and everything that is not one."""
    layouts = st.sampled_from(["plain", "reversed", "strided", "transposed", "read-only", "broadcast"])
    shapes = hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0, max_side=4)
    small = hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=1, max_side=3)
    good = st.integers(0, 2).flatmap(
        lambda draw: hnp.arrays("<f8", shapes) if draw == 0 else hnp.arrays("<f8", small, elements=st.floats(-10, 10)))
    dtypes = st.sampled_from(["<f8", ">f8", "f4", "i8", "i4", "?", "c16", "u1"])
    any_array = hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4))
    not_arrays = st.sampled_from([None, 1.5, [[1.0, 2.0]], (1.0,), "array", np.float64(1.0)])
    # Views far larger than memory, which cost nothing until copied.
    huge = st.sampled_from([2**40, 2**44]).map(lambda side: np.broadcast_to(0.5, (side,) + (2,) * (ndim - 1)))
    values = mostly(st.builds(view_of, good, layouts), st.builds(view_of, any_array, layouts), not_arrays, huge)

    def verdict(value):
        if not (isinstance(value, np.ndarray) and value.ndim == ndim and value.dtype == np.dtype("<f8")):
            return value, TypeError
        return value, ("huge" if value.size > 2**30 else "ok")

    return values.map(verdict)


def floats():
    return mostly(
        judged(st.floats(width=64) | st.integers(-(2**70), 2**70)
               | st.sampled_from([np.float32(0.5), np.float64(-2.0), np.int8(3), True]), "ok"),
        judged(st.just(10**400), OverflowError),
        judged(st.sampled_from([None, "0.1", [0.1], object()]), TypeError),
    )


def counts(small=6):
    return mostly(
        judged(st.integers(0, small) | st.sampled_from([np.uint8(2), np.int64(1), True]), "ok"),
        judged(st.sampled_from([HUGE, 2**64 - 1]), "huge"),
        judged(st.sampled_from([-1, -(2**64), 2**64, 2**100]), OverflowError),
        judged(st.sampled_from([2.0, None, "3", np.float64(1.0), [1]]), TypeError),
    )


def texts(valid):
    return mostly(
        judged(st.sampled_from(valid).map(lambda v: v.upper() if len(v) % 2 else v), "ok"),
        judged(st.text(max_size=12) | st.sampled_from(valid).map(lambda v: v + "\0"), "ok"),
        judged(st.sampled_from([None, b"max", 1]), TypeError),
    )


def flags():
    return mostly(judged(st.sampled_from([True, False, np.bool_(True), np.bool_(False)]), "ok"),
                  judged(st.sampled_from([0, 1, None, "True", np.int64(1)]), TypeError))


def optimizers():
    made = st.builds(lambda factory, eta, dim: factory(eta, dim),
                     st.sampled_from([Optimizer.ogda, Optimizer.omwuoomd, Optimizer.omwuoftrl]),
                     st.sampled_from([0.0, 0.1, 1.0, -1.0, float("nan")]), st.integers(1, 3))
    return mostly(judged(made, "ok"), st.builds(lambda: (quarnel.Ogda(0.1, 2), TypeError)),
                  judged(st.sampled_from([None, "ogda", 1]), TypeError))


def check_call(function, named, extra_allowed=()):
    """Calls function(**values); the first failing conversion decides the exception, and a
    well-converted call returns, panics or (with a huge count) runs out of memory."""
    values = {name: value for name, (value, _) in named.items()}
    # Huge broadcast views are read-only by construction: nothing to compare.
    before = {name: np.array(v, copy=True) for name, v in values.items()
              if isinstance(v, np.ndarray) and v.size <= 2**30}
    first_bad = next(((name, kind) for name, (_, kind) in named.items() if kind not in ("ok", "huge")), None)
    try:
        outcome = function(**values)
    except BaseException as caught:
        outcome = caught
    assert all(np.array_equal(values[name], copy, equal_nan=True) for name, copy in before.items()), "input written"
    if first_bad is not None:
        name, kind = first_bad
        assert type(outcome) is kind, (named, outcome)
        if kind is TypeError:
            assert str(outcome).startswith(f"argument '{name}': ")
        return None
    allowed = (PanicException, *extra_allowed)
    if any(kind == "huge" for _, kind in named.values()):
        allowed += (MemoryError,)
    if isinstance(outcome, BaseException):
        assert isinstance(outcome, allowed), (named, repr(outcome))
        return None
    return outcome


@FUZZ
@given(x=arrays_of(1), y=arrays_of(1), a=arrays_of(2))
def test_game_state(x, y, a):
    state = check_call(quarnel.GameState, dict(x=x, y=y, a=a))
    if state is not None:
        assert np.array_equal(state.a, a[0], equal_nan=True)


@FUZZ
@given(factory=st.sampled_from([Optimizer.ogda, Optimizer.omwuoomd, Optimizer.omwuoftrl, quarnel.Ogda,
                                quarnel.OmwuOomd, quarnel.OmwuOftrl]), eta=floats(), dim=counts())
def test_optimizer_construction(factory, eta, dim):
    check_call(factory, dict(eta=eta, dim=dim))


@FUZZ
@given(optimizer=optimizers(), num_steps=counts(small=30), state_kind=st.sampled_from(["ok", "matrix", "none"]))
def test_experiment(optimizer, num_steps, state_kind):
    state = {"ok": lambda: quarnel.GameState(np.ones(2), np.ones(2), np.array([[1.0, -1.0], [-1.0, 1.0]])),
             "matrix": lambda: np.ones((2, 2)), "none": lambda: None}[state_kind]()
    experiment = check_call(quarnel.Experiment, dict(state=(state, "ok" if state_kind == "ok" else TypeError),
                                                     optimizer=optimizer, num_steps=num_steps))
    if experiment is not None:
        result = check_call(lambda num_steps: experiment.run_experiment_until_convergence_in_place(),
                            {"num_steps": num_steps})
        if result is not None:
            assert result.gaps_history.shape == (num_steps[0],)


def radial_arguments(own_name, own):
    return dict(a_delta=arrays_of(2), optimizer=optimizers(), num_exploration=counts(), num_steps=counts(small=20),
                inner_radius=floats(), outer_radius=floats(), **{own_name: own}, metric_method=texts(METRICS),
                cutoff=floats())


def check_names(call, named, norm=True):
    """Unknown names are ValueError once every argument converted: the metric method first."""
    named = {name: named[name] for name in (p.split("=")[0] for p in call.__text_signature__.strip("()").split(", "))}
    known = [(named["metric_method"][0], METRICS)] + ([(named["norm_str"][0], NORMS)] if norm else [])
    names_ok = all(not isinstance(name, str) or name.lower() in valid for name, valid in known)
    return check_call(call, named, extra_allowed=() if names_ok else (ValueError,))


@FUZZ
@given(st.fixed_dictionaries(radial_arguments("norm_str", texts(NORMS))))
def test_scattered_exploration(named):
    out = check_names(quarnel.scattered_exploration, named)
    if out is not None:
        assert out.norms.shape == out.metrics.shape == (named["num_exploration"][0],)


@FUZZ
@given(st.fixed_dictionaries(radial_arguments("num_slices", counts(small=4))))
def test_concentric_exploration(named):
    out = check_names(quarnel.concentric_exploration, named, norm=False)
    if out is not None:
        slices = named["num_slices"][0]
        assert out.slice_boundaries.shape == (slices, 2)
        assert out.metrics.shape == (slices, named["num_exploration"][0] // slices)


@FUZZ
@given(matrices=arrays_of(3), optimizer=optimizers(), num_steps=counts(small=20), normalize_matrix=flags())
def test_neighborhood_exploration(matrices, optimizer, num_steps, normalize_matrix):
    results = check_call(quarnel.neighborhood_exploration, dict(matrices=matrices, optimizer=optimizer,
                                                                num_steps=num_steps, normalize_matrix=normalize_matrix))
    if results is not None:
        assert len(results) == len(matrices[0])
        assert all(r.gaps_history.shape == (num_steps[0],) for r in results)
