"""The module object, its functions, and how failures of the native code reach Python."""
import importlib
import subprocess
import sys

import numpy as np
import pytest

import quarnel
from quarnel import Optimizer

REGISTRATION_ORDER = [
    "GameResult",
    "GameState",
    "neighborhood_exploration",
    "concentric_exploration",
    "scattered_exploration",
    "Experiment",
    "PyConcentricOutput",
    "PyScatteredOutput",
    "Ogda",
    "OmwuOftrl",
    "OmwuOomd",
    "Optimizer",
]

FUNCTION_SIGNATURES = {
    "scattered_exploration": "(a_delta, optimizer, num_exploration, num_steps, inner_radius, outer_radius,"
    " norm_str, metric_method, cutoff=0.1)",
    "concentric_exploration": "(a_delta, optimizer, num_exploration, num_steps, inner_radius, outer_radius,"
    " num_slices, metric_method, cutoff=0.1)",
    "neighborhood_exploration": "(matrices, optimizer, num_steps, normalize_matrix)",
}


def panic_type():
    with pytest.raises(BaseException) as caught:
        Optimizer.ogda(0.1, 0)
    return type(caught.value)


def base_matrix():
    return np.array([[0.5, -0.25], [-0.75, 1.0]])


def test_all_lists_the_entries_in_registration_order():
    assert quarnel.__all__ == REGISTRATION_ORDER
    for name in REGISTRATION_ORDER:
        assert hasattr(quarnel, name)


def test_importing_again_gives_the_same_module_object():
    first = quarnel
    del sys.modules["quarnel"]
    try:
        again = importlib.import_module("quarnel")
    finally:
        sys.modules["quarnel"] = first
    assert again is first


SUBINTERPRETER_IMPORT = """
import quarnel
import _xxsubinterpreters as interpreters
try:
    interpreters.run_string(interpreters.create(), "import quarnel")
except interpreters.RunFailedError as failure:
    print(failure)
"""


def test_a_second_interpreter_cannot_import_the_module():
    pytest.importorskip("_xxsubinterpreters")
    completed = subprocess.run([sys.executable, "-c", SUBINTERPRETER_IMPORT], capture_output=True, text=True, timeout=60)
    assert "ImportError" in completed.stdout and "subinterpreters" in completed.stdout, completed.stderr


def test_import_issues_no_warning():
    completed = subprocess.run([sys.executable, "-W", "error", "-c", "import quarnel"], capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr


def test_docstring_is_one_sentence():
    doc = quarnel.__doc__
    assert doc.endswith(".") and doc.count(". ") == 0 and "\n" not in doc


def test_only_the_init_function_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", quarnel.__file__], check=True, capture_output=True, text=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_quarnel"]


@pytest.mark.parametrize("name", sorted(FUNCTION_SIGNATURES))
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(quarnel, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__module__ == "quarnel"
    assert function.__self__ is quarnel
    assert function.__text_signature__ == FUNCTION_SIGNATURES[name]
    assert function.__doc__ is None


def test_panic_exception_is_a_base_exception_outside_the_module():
    panic = panic_type()
    assert panic.__module__ == "pyo3_runtime" and panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__doc__
    assert panic is panic_type(), "one type per process"
    assert "PanicException" not in dir(quarnel)


def test_panic_carries_the_message_as_its_only_argument():
    with pytest.raises(BaseException) as caught:
        Optimizer.ogda(0.1, 0)
    assert caught.value.args == ("Issue computing theta",)


HUGE = 2**62
UNALLOCATABLE = {
    "optimizer": lambda: Optimizer.omwuoftrl(0.1, HUGE),
    "projected optimizer": lambda: Optimizer.ogda(0.1, HUGE),
    "variant": lambda: quarnel.OmwuOftrl(0.1, 2**64 - 1),
    "run histories": lambda: quarnel.Experiment(
        quarnel.GameState(np.ones(2), np.ones(2), base_matrix()), Optimizer.ogda(0.1, 2), HUGE
    ).run_experiment_until_convergence_in_place(),
    "trials": lambda: quarnel.scattered_exploration(base_matrix(), Optimizer.ogda(0.1, 2), HUGE, 5, 0.5, 1.0, "max", "max_last"),
    "neighborhood histories": lambda: quarnel.neighborhood_exploration(np.ones((2, 2, 2)), Optimizer.ogda(0.1, 2), HUGE, False),
}


@pytest.mark.parametrize("call", UNALLOCATABLE.values(), ids=UNALLOCATABLE.keys())
def test_unallocatable_sizes_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()
    assert type(Optimizer.omwuoftrl(0.1, 3)) is Optimizer


class TestScatteredExploration:
    def run(self, *args, **kwargs):
        return quarnel.scattered_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 4, 50, 0.5, 1.0, *args, **kwargs)

    def test_returns_one_norm_and_one_metric_per_trial(self):
        out = self.run("max", "max_last")
        assert type(out) is quarnel.PyScatteredOutput
        for array in (out.norms, out.metrics):
            assert array.shape == (4,) and array.dtype == np.float64
        assert np.all((out.norms >= 0.5) & (out.norms <= 1.0))

    @pytest.mark.parametrize(
        "args, kwargs",
        [(("max", "max_last", 0.2), {}), (("max", "max_last"), {"cutoff": 0.2}), ((), {"norm_str": "Frobenius", "metric_method": "Max_Last_10"})],
    )
    def test_accepts_positional_keyword_and_any_case(self, args, kwargs):
        assert self.run(*args, **kwargs).metrics.shape == (4,)

    def test_getters_return_the_stored_writable_array(self):
        out = self.run("infinity", "var_last")
        assert out.norms is out.norms and out.metrics is out.metrics
        out.norms[0] = -1.0
        assert out.norms[0] == -1.0

    def test_empty_exploration_gives_empty_arrays(self):
        out = quarnel.scattered_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 0, 10, 0.5, 1.0, "max", "total_var")
        assert out.norms.shape == (0,) and out.metrics.shape == (0,)

    @pytest.mark.parametrize(
        "norm, metric, message",
        [
            ("max", "bogus", "Unknown metric method: bogus"),
            ("max", "bo\0gus", "Unknown metric method: bo\0gus"),
            ("bogus", "bogus", "Unknown metric method: bogus"),
            ("bogus", "MAX_LAST", "Unknown norm type. Use 'max', 'infinity', or 'frobenius'"),
        ],
    )
    def test_unknown_names_raise_value_error(self, norm, metric, message):
        with pytest.raises(ValueError) as caught:
            self.run(norm, metric)
        assert str(caught.value) == message

    def test_empty_radius_range_panics(self):
        with pytest.raises(panic_type(), match="EmptyRange"):
            quarnel.scattered_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 4, 10, 1.0, 1.0, "max", "max_last")

    def test_the_optimizer_passed_in_is_unchanged(self):
        opt = Optimizer.ogda(0.1, 2)
        state = quarnel.GameState(np.array([1.0, 0.0]), np.array([0.0, 1.0]), base_matrix())
        twin = quarnel.GameState(np.array([1.0, 0.0]), np.array([0.0, 1.0]), base_matrix())
        quarnel.scattered_exploration(base_matrix(), opt, 4, 20, 0.5, 1.0, "max", "max_last")
        after = quarnel.Experiment(state, opt, 5).run_experiment_until_convergence_in_place()
        fresh = quarnel.Experiment(twin, Optimizer.ogda(0.1, 2), 5).run_experiment_until_convergence_in_place()
        np.testing.assert_array_equal(after.x_history, fresh.x_history)


class TestConcentricExploration:
    def test_shapes_follow_the_slices(self):
        out = quarnel.concentric_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 10, 50, 0.0, 1.0, 3, "total_var")
        assert type(out) is quarnel.PyConcentricOutput
        assert out.slice_boundaries.shape == (3, 2) and out.metrics.shape == (3, 3)
        assert out.metrics is out.metrics and out.slice_boundaries is out.slice_boundaries

    def test_boundaries_cut_the_band_into_equal_slices(self):
        out = quarnel.concentric_exploration(base_matrix(), Optimizer.omwuoftrl(0.1, 2), 4, 10, 0.0, 1.0, 4, "max_last")
        np.testing.assert_array_equal(out.slice_boundaries, [[0, 0.25], [0.25, 0.5], [0.5, 0.75], [0.75, 1.0]])

    def test_fewer_trials_than_slices_gives_empty_rows(self):
        out = quarnel.concentric_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 2, 10, 0.0, 1.0, 5, "max_last")
        assert out.metrics.shape == (5, 0) and out.slice_boundaries.shape == (5, 2)

    def test_zero_slices_panics(self):
        with pytest.raises(panic_type(), match="attempt to divide by zero"):
            quarnel.concentric_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 2, 10, 0.0, 1.0, 0, "max_last")

    def test_unknown_metric_raises_value_error(self):
        with pytest.raises(ValueError, match="^Unknown metric method: Nope$"):
            quarnel.concentric_exploration(base_matrix(), Optimizer.ogda(0.1, 2), 2, 10, 0.0, 1.0, 1, "Nope")


class TestNeighborhoodExploration:
    @pytest.mark.parametrize("count", [0, 3])
    def test_one_result_per_matrix(self, count):
        stack = np.tile(base_matrix(), (count, 1, 1))
        results = quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 7, False)
        assert type(results) is list and len(results) == count
        assert all(type(r) is quarnel.GameResult and r.gaps_history.shape == (7,) for r in results)

    def test_results_follow_the_stack_order(self):
        stack = np.stack([base_matrix(), -base_matrix(), 2 * base_matrix()])
        results = quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 5, np.bool_(False))
        for matrix, result in zip(stack, results):
            state = quarnel.GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), matrix)
            single = quarnel.Experiment(state, Optimizer.ogda(0.1, 2), 5).run_experiment_until_convergence_in_place()
            np.testing.assert_array_equal(result.gaps_history, single.gaps_history)

    def test_mismatched_shapes_panic(self):
        with pytest.raises(panic_type()):
            quarnel.neighborhood_exploration(np.zeros((1, 3, 3)), Optimizer.ogda(0.1, 2), 1, False)
