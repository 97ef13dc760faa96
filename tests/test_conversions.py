"""Argument binding and the conversion of every kind of argument, both ways."""
import numpy as np
import pytest

import quarnel
from quarnel import Experiment, GameState, Ogda, Optimizer

X = np.array([0.25, 0.75])
Y = np.array([0.5, 0.5])
A = np.array([[1.0, -2.0], [-3.0, 4.0]])


def prefix(name):
    return "^argument '" + name + "': "


def run_once(x, y, a, steps=1):
    return Experiment(GameState(x, y, a), Optimizer.ogda(0.1, len(x)), steps).run_experiment_until_convergence_in_place()


def scattered(**overrides):
    args = dict(
        a_delta=A, optimizer=Optimizer.ogda(0.1, 2), num_exploration=2, num_steps=5,
        inner_radius=0.5, outer_radius=1.0, norm_str="max", metric_method="max_last",
    )
    args.update(overrides)
    return quarnel.scattered_exploration(**args)


NOT_A_FLOAT64_ARRAY = [
    pytest.param([0.5, 0.5], id="list"),
    pytest.param((0.5, 0.5), id="tuple"),
    pytest.param(0.5, id="scalar"),
    pytest.param(np.array([1, 2]), id="int64"),
    pytest.param(np.array([0.5, 0.5], dtype=np.float32), id="float32"),
    pytest.param(np.array([0.5, 0.5], dtype=">f8"), id="byteswapped"),
    pytest.param(np.array([[0.5, 0.5]]), id="two-dimensional"),
    pytest.param(np.float64(0.5), id="numpy-scalar"),
]


class TestArrays:
    @pytest.mark.parametrize("bad", NOT_A_FLOAT64_ARRAY)
    @pytest.mark.parametrize("position, name", [(0, "x"), (1, "y")])
    def test_vector_refusals_name_the_parameter(self, bad, position, name):
        args = [X, Y, A]
        args[position] = bad
        with pytest.raises(TypeError, match=prefix(name)):
            GameState(*args)

    @pytest.mark.parametrize("bad", [[[1.0, 2.0]], np.zeros(2), np.zeros((2, 2, 2)), np.zeros((2, 2), dtype=np.int32)])
    def test_matrix_refusals_name_the_parameter(self, bad):
        with pytest.raises(TypeError, match=prefix("a")):
            GameState(X, Y, bad)

    @pytest.mark.parametrize("bad", [np.zeros((2, 2)), [np.eye(2)], np.zeros((1, 2, 2), dtype=np.float32)])
    def test_stack_refusals_name_the_parameter(self, bad):
        with pytest.raises(TypeError, match=prefix("matrices")):
            quarnel.neighborhood_exploration(bad, Optimizer.ogda(0.1, 2), 1, False)

    def test_first_bad_argument_from_the_left_is_reported(self):
        with pytest.raises(TypeError, match=prefix("y")):
            GameState(X, [0.5], "not a matrix")
        with pytest.raises(TypeError, match=prefix("x")):
            GameState(x="nope", y=[0.5], a=None)

    def test_array_subclasses_are_accepted(self):
        class Tagged(np.ndarray):
            pass

        state = GameState(X.view(Tagged), Y, A.view(Tagged))
        np.testing.assert_array_equal(state.a, A)

    @pytest.mark.parametrize(
        "view",
        [
            pytest.param(lambda m: np.asfortranarray(m), id="column-major"),
            pytest.param(lambda m: np.repeat(np.repeat(m, 2, axis=0), 3, axis=1)[::2, ::3], id="strided"),
            pytest.param(lambda m: np.pad(m, 1)[1:3, 1:3], id="window"),
            pytest.param(lambda m: np.flip(np.flip(m, 0).copy(), 0), id="negative-stride"),
        ],
    )
    def test_matrix_views_of_any_stride_are_copied(self, view):
        source = view(A.copy())
        state = GameState(X, Y, source)
        np.testing.assert_array_equal(state.a, A)
        source[...] = 0.0
        np.testing.assert_array_equal(state.a, A)

    def test_unaligned_matrix_is_read(self):
        buffer = np.zeros(A.size * 8 + 1, dtype=np.uint8)
        unaligned = buffer[1:].view(np.float64).reshape(A.shape)
        unaligned[...] = A
        assert not unaligned.flags.aligned
        np.testing.assert_array_equal(GameState(X, Y, unaligned).a, A)

    def test_strided_and_reversed_vectors_are_copied_in_index_order(self):
        x = np.array([0.0, 9.0, 1.0, 9.0])[::2]
        y = np.array([0.75, 0.25])[::-1]
        result = run_once(x, y, A)
        np.testing.assert_array_equal(result.x_history[0], [0.0, 1.0])
        np.testing.assert_array_equal(result.y_history[0], [0.25, 0.75])

    def test_strategies_are_projected_onto_the_simplex(self):
        result = run_once(np.array([2.0, 0.0]), Y, A)
        np.testing.assert_array_equal(result.x_history[0], [1.0, 0.0])

    def test_read_only_input_arrays_are_accepted(self):
        frozen = A.copy()
        frozen.flags.writeable = False
        np.testing.assert_array_equal(GameState(X, Y, frozen).a, A)

    def test_getter_returns_a_new_copy_every_call(self):
        state = GameState(X, Y, A)
        first, second = state.a, state.a
        assert first is not second and first.dtype == np.float64 and first.shape == (2, 2)
        first[0, 0] = 99.0
        np.testing.assert_array_equal(state.a, A)

    def test_empty_row_matrices_keep_their_shape(self):
        assert GameState(X, Y, np.zeros((0, 3))).a.shape == (0, 3)


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: GameState(X, Y, A, A), r"GameState\.__new__\(\) takes 3 positional arguments but 4 were given"),
            (lambda: GameState(X, Y, a=A, z=1), r"GameState\.__new__\(\) got an unexpected keyword argument 'z'"),
            (lambda: GameState(X, Y, A, x=X), r"GameState\.__new__\(\) got multiple values for argument 'x'"),
            (lambda: GameState(X), r"GameState\.__new__\(\) missing 2 required positional arguments: 'y' and 'a'"),
            (lambda: GameState(), r"missing 3 required positional arguments: 'x', 'y', and 'a'"),
            (lambda: Optimizer.ogda(0.1), r"ogda\(\) missing 1 required positional argument: 'dim'"),
            (lambda: Ogda(0.1, 2, 3), r"Ogda\.__new__\(\) takes 2 positional arguments but 3 were given"),
            (lambda: scattered(cutoff=0.1, extra=1), r"scattered_exploration\(\) got an unexpected keyword argument"),
            (
                lambda: quarnel.concentric_exploration(*range(10)),
                r"concentric_exploration\(\) takes from 8 to 9 positional arguments but 10 were given",
            ),
            (lambda: quarnel.neighborhood_exploration(), r"neighborhood_exploration\(\) missing 4 required"),
        ],
    )
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError, match=message):
            call()

    def test_binding_is_checked_before_conversion(self):
        with pytest.raises(TypeError, match="unexpected keyword"):
            GameState("bad", Y, A, bogus=1)

    def test_everything_can_be_passed_by_keyword(self):
        out = scattered(cutoff=0.3)
        assert out.metrics.shape == (2,)
        assert type(Optimizer.omwuoomd(dim=2, eta=0.5)) is Optimizer

    def test_type_error_keeps_the_cause_of_the_original(self):
        class Broken:
            def __float__(self):
                raise TypeError("no float here") from KeyError("origin")

        with pytest.raises(TypeError, match=prefix("eta") + "no float here$") as caught:
            Optimizer.ogda(Broken(), 2)
        assert isinstance(caught.value.__cause__, KeyError)

    def test_other_conversion_errors_pass_unchanged(self):
        class Failing:
            def __index__(self):
                raise ZeroDivisionError("inner")

        with pytest.raises(ZeroDivisionError, match="^inner$"):
            Optimizer.ogda(0.1, Failing())


class TestScalars:
    class Indexable:
        def __index__(self):
            return 2

    @pytest.mark.parametrize("eta", [1, np.float32(0.5), np.float64(0.5), Indexable(), float("nan"), -1.0])
    def test_float_accepts_what_the_interpreter_converts(self, eta):
        assert type(Optimizer.ogda(eta, 2)) is Optimizer

    @pytest.mark.parametrize("eta", ["0.1", None, [0.1], np.array([0.1, 0.2])])
    def test_float_refusals(self, eta):
        with pytest.raises(TypeError, match=prefix("eta")):
            Optimizer.ogda(eta, 2)

    def test_cutoff_given_as_none_is_refused(self):
        with pytest.raises(TypeError, match=prefix("cutoff")):
            scattered(cutoff=None)

    @pytest.mark.parametrize("dim", [2, np.int64(2), np.uint8(2), Indexable()])
    def test_count_accepts_integers(self, dim):
        assert type(Optimizer.ogda(0.1, dim)) is Optimizer

    @pytest.mark.parametrize("dim", [2.0, "2", None, np.float64(2.0)])
    def test_count_refuses_non_integers(self, dim):
        with pytest.raises(TypeError, match=prefix("dim")):
            Optimizer.ogda(0.1, dim)

    @pytest.mark.parametrize("dim", [-1, 2**64, -(2**70)])
    def test_count_out_of_range_is_overflow_error(self, dim):
        with pytest.raises(OverflowError) as caught:
            Optimizer.ogda(0.1, dim)
        assert not str(caught.value).startswith("argument")

    def test_counts_are_converted_after_earlier_parameters(self):
        with pytest.raises(TypeError, match=prefix("eta")):
            Optimizer.ogda("x", -1)

    @pytest.mark.parametrize("flag", [True, False, np.bool_(True), np.bool_(False)])
    def test_flag_accepts_booleans(self, flag):
        stack = np.array([[[1.0, 3.0], [5.0, 9.0]]])
        assert len(quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 2, flag)) == 1

    @pytest.mark.parametrize("flag", [0, 1, None, "True", np.int64(1), np.array(True)])
    def test_flag_refuses_everything_else(self, flag):
        with pytest.raises(TypeError, match=prefix("normalize_matrix")):
            quarnel.neighborhood_exploration(np.zeros((1, 2, 2)), Optimizer.ogda(0.1, 2), 2, flag)

    @pytest.mark.parametrize("name", ["norm_str", "metric_method"])
    @pytest.mark.parametrize("bad", [b"max", None, 3])
    def test_text_refusals(self, name, bad):
        with pytest.raises(TypeError, match=prefix(name)):
            scattered(**{name: bad})


class TestObjects:
    @pytest.mark.parametrize("bad", [Ogda(0.1, 2), quarnel.OmwuOftrl(0.1, 2), "ogda", None])
    def test_optimizer_by_value_refuses_other_objects(self, bad):
        with pytest.raises(TypeError, match=prefix("optimizer")):
            scattered(optimizer=bad)

    def test_experiment_checks_its_object_arguments_in_order(self):
        state = GameState(X, Y, A)
        with pytest.raises(TypeError, match=prefix("state")):
            Experiment(A, Ogda(0.1, 2), 10)
        with pytest.raises(TypeError, match=prefix("optimizer")):
            Experiment(state, Ogda(0.1, 2), 10)
        with pytest.raises(TypeError, match=prefix("num_steps")):
            Experiment(state, Optimizer.ogda(0.1, 2), 1.5)
        with pytest.raises(OverflowError):
            Experiment(state, Optimizer.ogda(0.1, 2), -3)
