"""Argument binding and the conversion of every kind of argument, both ways."""
import numpy as np
import pytest

import quarnel
from quarnel import Experiment, GameState, Ogda, Optimizer
from support import run

X = np.array([0.25, 0.75])
Y = np.array([0.5, 0.5])
A = np.array([[1.0, -2.0], [-3.0, 4.0]])


def prefix(name):
    return "^argument '" + name + "': "


def scattered(**overrides):
    args = dict(a_delta=A, optimizer=Optimizer.ogda(0.1, 2), num_exploration=2, num_steps=5, inner_radius=0.5,
                outer_radius=1.0, norm_str="max", metric_method="max_last")
    return quarnel.scattered_exploration(**dict(args, **overrides))


def neighborhood(stack=np.array([[[1.0, 3.0], [5.0, 9.0]]]), flag=False):
    return quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 2, flag)


class Indexable:
    def __index__(self):
        return 2


# Each parameter, reached through one call with every other argument valid.
CALL_WITH = {
    "x": lambda v: GameState(v, Y, A),
    "y": lambda v: GameState(X, v, A),
    "a": lambda v: GameState(X, Y, v),
    "matrices": lambda v: neighborhood(stack=v),
    "eta": lambda v: Optimizer.ogda(v, 2),
    "dim": lambda v: Optimizer.ogda(0.1, v),
    "cutoff": lambda v: scattered(cutoff=v),
    "normalize_matrix": lambda v: neighborhood(flag=v),
    "norm_str": lambda v: scattered(norm_str=v),
    "metric_method": lambda v: scattered(metric_method=v),
    "optimizer": lambda v: scattered(optimizer=v),
    "state": lambda v: Experiment(v, Optimizer.ogda(0.1, 2), 10),
    "num_steps": lambda v: Experiment(GameState(X, Y, A), Optimizer.ogda(0.1, 2), v),
}
NOT_A_VECTOR = [[0.5, 0.5], (0.5, 0.5), 0.5, np.array([1, 2]), np.array([0.5, 0.5], dtype=np.float32),
                np.array([0.5, 0.5], dtype=">f8"), np.array([[0.5, 0.5]]), np.float64(0.5)]
REFUSED = {
    "x": NOT_A_VECTOR,
    "y": NOT_A_VECTOR,
    "a": [[[1.0, 2.0]], np.zeros(2), np.zeros((2, 2, 2)), np.zeros((2, 2), dtype=np.int32)],
    "matrices": [np.zeros((2, 2)), [np.eye(2)], np.zeros((1, 2, 2), dtype=np.float32)],
    "eta": ["0.1", None, [0.1], np.array([0.1, 0.2])],
    "dim": [2.0, "2", None, np.float64(2.0)],
    "cutoff": [None],
    "normalize_matrix": [0, 1, None, "True", np.int64(1), np.array(True)],
    "norm_str": [b"max", None, 3],
    "metric_method": [b"max", None, 3],
    "optimizer": [Ogda(0.1, 2), quarnel.OmwuOftrl(0.1, 2), "ogda", None],
    "state": [A, None],
    "num_steps": [1.5],
}
ACCEPTED = {
    "eta": [1, np.float32(0.5), np.float64(0.5), Indexable(), float("nan"), -1.0],
    "dim": [2, np.int64(2), np.uint8(2), Indexable()],
    "normalize_matrix": [True, False, np.bool_(True), np.bool_(False)],
}


@pytest.mark.parametrize("name, bad", [(name, bad) for name, bads in REFUSED.items() for bad in bads])
def test_refusals_name_the_parameter(name, bad):
    with pytest.raises(TypeError, match=prefix(name)):
        CALL_WITH[name](bad)


@pytest.mark.parametrize("name, value", [(name, value) for name, values in ACCEPTED.items() for value in values])
def test_what_the_interpreter_converts_is_accepted(name, value):
    assert CALL_WITH[name](value) is not None


@pytest.mark.parametrize("name, count", [("dim", -1), ("dim", 2**64), ("dim", -(2**70)), ("num_steps", -3)])
def test_counts_out_of_range_are_overflow_errors_without_prefix(name, count):
    with pytest.raises(OverflowError) as caught:
        CALL_WITH[name](count)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("call, name", [
    (lambda: GameState(X, [0.5], "not a matrix"), "y"),
    (lambda: GameState(x="nope", y=[0.5], a=None), "x"),
    (lambda: Optimizer.ogda("x", -1), "eta"),
    (lambda: Experiment(A, Ogda(0.1, 2), 1.5), "state"),
    (lambda: Experiment(GameState(X, Y, A), Ogda(0.1, 2), 1.5), "optimizer"),
])
def test_first_bad_argument_from_the_left_is_reported(call, name):
    with pytest.raises(TypeError, match=prefix(name)):
        call()


def unaligned(m):
    buffer = np.zeros(m.size * 8 + 1, dtype=np.uint8)
    view = buffer[1:].view(np.float64).reshape(m.shape)
    view[...] = m
    assert not view.flags.aligned
    return view


def read_only(m):
    m.flags.writeable = False
    return m


@pytest.mark.parametrize("view", [
    np.asfortranarray,
    lambda m: np.repeat(np.repeat(m, 2, axis=0), 3, axis=1)[::2, ::3],
    lambda m: np.pad(m, 1)[1:3, 1:3],
    lambda m: np.flip(np.flip(m, 0).copy(), 0),
    lambda m: m.view(type("Tagged", (np.ndarray,), {})),
    unaligned,
    read_only,
], ids=["column-major", "strided", "window", "negative-stride", "subclass", "unaligned", "read-only"])
def test_matrix_views_of_any_layout_are_copied(view):
    source = view(A.copy())
    state = GameState(X, Y, source)
    np.testing.assert_array_equal(state.a, A)
    if source.flags.writeable:
        source[...] = 0.0
        np.testing.assert_array_equal(state.a, A)


def test_strided_and_reversed_vectors_are_copied_in_index_order_and_projected():
    result = run(GameState(np.array([0.0, 9.0, 1.0, 9.0])[::2], np.array([0.75, 0.25])[::-1], A),
                 Optimizer.ogda(0.1, 2), 1)
    np.testing.assert_array_equal(result.x_history[0], [0.0, 1.0])
    np.testing.assert_array_equal(result.y_history[0], [0.25, 0.75])
    projected = run(GameState(np.array([2.0, 0.0]), Y, A), Optimizer.ogda(0.1, 2), 1)
    np.testing.assert_array_equal(projected.x_history[0], [1.0, 0.0])


def test_matrix_getter_returns_a_new_copy_every_call():
    state = GameState(X, Y, A)
    first, second = state.a, state.a
    assert first is not second and first.dtype == np.float64 and first.shape == (2, 2)
    first[0, 0] = 99.0
    np.testing.assert_array_equal(state.a, A)
    assert GameState(X, Y, np.zeros((0, 3))).a.shape == (0, 3)


@pytest.mark.parametrize("call, message", [
    (lambda: GameState(X, Y, A, A), r"GameState\.__new__\(\) takes 3 positional arguments but 4 were given"),
    (lambda: GameState(X, Y, a=A, z=1), r"GameState\.__new__\(\) got an unexpected keyword argument 'z'"),
    (lambda: GameState(X, Y, A, x=X), r"GameState\.__new__\(\) got multiple values for argument 'x'"),
    (lambda: GameState(X), r"GameState\.__new__\(\) missing 2 required positional arguments: 'y' and 'a'"),
    (lambda: GameState(), r"missing 3 required positional arguments: 'x', 'y', and 'a'"),
    (lambda: GameState("bad", Y, A, bogus=1), "unexpected keyword"),  # binding comes before conversion
    (lambda: Optimizer.ogda(0.1), r"ogda\(\) missing 1 required positional argument: 'dim'"),
    (lambda: Ogda(0.1, 2, 3), r"Ogda\.__new__\(\) takes 2 positional arguments but 3 were given"),
    (lambda: scattered(cutoff=0.1, extra=1), r"scattered_exploration\(\) got an unexpected keyword argument"),
    (lambda: quarnel.concentric_exploration(*range(10)),
     r"concentric_exploration\(\) takes from 8 to 9 positional arguments but 10 were given"),
    (lambda: quarnel.neighborhood_exploration(), r"neighborhood_exploration\(\) missing 4 required"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_everything_can_be_passed_by_keyword():
    assert scattered(cutoff=0.3).metrics.shape == (2,)
    assert type(Optimizer.omwuoomd(dim=2, eta=0.5)) is Optimizer


def test_type_error_keeps_the_cause_and_other_errors_pass_unchanged():
    class Broken:
        def __float__(self):
            raise TypeError("no float here") from KeyError("origin")

        def __index__(self):
            raise ZeroDivisionError("inner")

    with pytest.raises(TypeError, match=prefix("eta") + "no float here$") as caught:
        Optimizer.ogda(Broken(), 2)
    assert isinstance(caught.value.__cause__, KeyError)
    with pytest.raises(ZeroDivisionError, match="^inner$"):
        Optimizer.ogda(0.1, Broken())
