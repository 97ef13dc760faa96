"""The shape every class of the module shares, and the behaviour of each class."""
import gc
import sys
import weakref

import numpy as np
import pytest

import quarnel
from quarnel import Experiment, GameResult, GameState, Ogda, OmwuOftrl, OmwuOomd, Optimizer

A = np.array([[0.0, 1.0], [1.0, 0.0]])
HALF = np.array([0.5, 0.5])
X0 = np.array([0.9, 0.1])
Y0 = np.array([0.2, 0.8])


def panic_type():
    with pytest.raises(BaseException) as caught:
        Optimizer.ogda(0.1, 0)
    return type(caught.value)


def new_state(x=X0, y=Y0, a=A):
    return GameState(x, y, a)


def run(state, optimizer, steps):
    return Experiment(state, optimizer, steps).run_experiment_until_convergence_in_place()


INSTANCES = {
    "GameResult": lambda: run(new_state(), Optimizer.ogda(0.1, 2), 3),
    "GameState": new_state,
    "Experiment": lambda: Experiment(new_state(), Optimizer.ogda(0.1, 2), 3),
    "PyConcentricOutput": lambda: quarnel.concentric_exploration(A, Optimizer.ogda(0.1, 2), 2, 3, 0.0, 1.0, 2, "max_last"),
    "PyScatteredOutput": lambda: quarnel.scattered_exploration(A, Optimizer.ogda(0.1, 2), 2, 3, 0.5, 1.0, "max", "max_last"),
    "Ogda": lambda: Ogda(0.1, 2),
    "OmwuOftrl": lambda: OmwuOftrl(0.1, 2),
    "OmwuOomd": lambda: OmwuOomd(0.1, 2),
    "Optimizer": lambda: Optimizer.omwuoomd(0.1, 2),
}
CONSTRUCTOR_SIGNATURES = {
    "GameState": "(x, y, a)",
    "Experiment": "(state, optimizer, num_steps)",
    "Ogda": "(eta, dim)",
    "OmwuOftrl": "(eta, dim)",
    "OmwuOomd": "(eta, dim)",
}
WITHOUT_CONSTRUCTOR = ["GameResult", "Optimizer", "PyScatteredOutput", "PyConcentricOutput"]
GETTERS = {
    "GameResult": ["x_history", "y_history", "gaps_history"],
    "GameState": ["a"],
    "PyConcentricOutput": ["slice_boundaries", "metrics"],
    "PyScatteredOutput": ["norms", "metrics"],
}
METHODS = {
    "Experiment": ["run_experiment_until_convergence_in_place"],
    "Optimizer": ["ogda", "omwuoomd", "omwuoftrl"],
}
ALL_CLASSES = sorted(INSTANCES)


class TestClassShape:
    @pytest.mark.parametrize("name", ALL_CLASSES)
    def test_cannot_be_subclassed(self, name):
        with pytest.raises(TypeError):
            type("Sub", (getattr(quarnel, name),), {})

    @pytest.mark.parametrize("name", ALL_CLASSES)
    def test_instances_have_no_dict_and_no_weak_references(self, name):
        instance = INSTANCES[name]()
        assert type(instance) is getattr(quarnel, name)
        assert not hasattr(instance, "__dict__")
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(instance)

    @pytest.mark.parametrize("name", ALL_CLASSES)
    def test_names_and_module(self, name):
        cls = getattr(quarnel, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__bases__ == (object,)

    @pytest.mark.parametrize("name", ALL_CLASSES)
    def test_only_the_listed_members_exist(self, name):
        members = set(vars(getattr(quarnel, name))) - {"__new__", "__doc__", "__module__"}
        assert members == set(GETTERS.get(name, []) + METHODS.get(name, []))

    @pytest.mark.parametrize("name", sorted(CONSTRUCTOR_SIGNATURES))
    def test_constructor_signature_is_the_doc(self, name):
        cls = getattr(quarnel, name)
        assert cls.__text_signature__ == CONSTRUCTOR_SIGNATURES[name]
        assert cls.__doc__ is None

    @pytest.mark.parametrize("name", WITHOUT_CONSTRUCTOR)
    @pytest.mark.parametrize("args", [(), (1, 2)])
    def test_classes_without_constructor_refuse_calls(self, name, args):
        cls = getattr(quarnel, name)
        assert cls.__doc__ is None
        with pytest.raises(TypeError, match="^No constructor defined for " + name + "$"):
            cls(*args)

    @pytest.mark.parametrize("name", sorted(GETTERS))
    def test_getters_are_read_only_with_empty_doc_in_order(self, name):
        cls = getattr(quarnel, name)
        getters = [key for key, value in vars(cls).items() if type(value).__name__ == "getset_descriptor"]
        assert getters == GETTERS[name]
        instance = INSTANCES[name]()
        for getter in getters:
            assert vars(cls)[getter].__doc__ == ""
            with pytest.raises(AttributeError):
                setattr(instance, getter, None)

    @pytest.mark.parametrize("name", ALL_CLASSES)
    def test_instances_release_their_class(self, name):
        cls = getattr(quarnel, name)
        INSTANCES[name]()
        gc.collect()
        before = sys.getrefcount(cls)
        for _ in range(50):
            INSTANCES[name]()
        assert sys.getrefcount(cls) == before


class TestOptimizer:
    @pytest.mark.parametrize("method", METHODS["Optimizer"])
    def test_static_methods_have_signature_docs(self, method):
        function = getattr(Optimizer, method)
        assert function.__text_signature__ == "(eta, dim)" and function.__doc__ is None
        assert list(vars(Optimizer)).index(method) == METHODS["Optimizer"].index(method) + 1

    @pytest.mark.parametrize("method", METHODS["Optimizer"])
    def test_static_methods_work_on_the_class_and_on_instances(self, method):
        existing = Optimizer.ogda(0.3, 2)
        made = getattr(existing, method)(0.2, 2)
        assert type(made) is Optimizer and made is not existing
        assert type(getattr(Optimizer, method)(eta=0.1, dim=3)) is Optimizer

    def test_calling_a_factory_on_an_instance_leaves_it_unchanged(self):
        used = Optimizer.ogda(0.1, 2)
        used.omwuoomd(0.2, 4)
        first = run(new_state(), used, 4)
        second = run(new_state(), Optimizer.ogda(0.1, 2), 4)
        np.testing.assert_array_equal(first.x_history, second.x_history)

    @pytest.mark.parametrize("variant", [Ogda, OmwuOomd, OmwuOftrl])
    def test_variants_are_not_optimizers(self, variant):
        assert not isinstance(variant(0.1, 3), Optimizer)
        with pytest.raises(TypeError, match="^argument 'optimizer': "):
            Experiment(new_state(), variant(0.1, 3), 10)

    @pytest.mark.parametrize("make", [Optimizer.ogda, Optimizer.omwuoomd, Ogda, OmwuOomd])
    def test_zero_dimension_projection_panics(self, make):
        with pytest.raises(panic_type(), match="^Issue computing theta$"):
            make(0.1, 0)

    @pytest.mark.parametrize("make", [Optimizer.omwuoftrl, OmwuOftrl])
    def test_zero_dimension_ftrl_is_allowed(self, make):
        make(0.1, 0)


class TestExperiment:
    def test_method_has_self_signature_and_takes_no_arguments(self):
        method = Experiment.run_experiment_until_convergence_in_place
        assert method.__text_signature__ == "($self)" and method.__doc__ is None
        with pytest.raises(TypeError):
            Experiment(new_state(), Optimizer.ogda(0.1, 2), 1).run_experiment_until_convergence_in_place(1)

    @pytest.mark.parametrize("make", [Optimizer.ogda, Optimizer.omwuoomd, Optimizer.omwuoftrl])
    def test_histories_have_one_row_per_step(self, make):
        result = run(new_state(a=np.ones((2, 3)), y=np.array([1.0, 0.0, 0.0])), make(0.1, 1), 6)
        assert result.x_history.shape == (6, 2) and result.y_history.shape == (6, 3)
        assert result.gaps_history.shape == (6,)
        assert result.x_history.dtype == result.gaps_history.dtype == np.float64

    def test_zero_steps_gives_empty_histories(self):
        result = run(new_state(a=np.ones((2, 3)), y=np.ones(3)), Optimizer.ogda(0.1, 2), 0)
        assert result.x_history.shape == (0, 2) and result.y_history.shape == (0, 3)
        assert result.gaps_history.shape == (0,)

    def test_getters_copy(self):
        result = run(new_state(), Optimizer.ogda(0.1, 2), 3)
        assert result.x_history is not result.x_history
        np.testing.assert_array_equal(result.x_history, result.x_history)
        result.gaps_history[:] = -1.0
        assert np.all(result.gaps_history >= 0.0)

    def test_a_second_run_continues_from_the_first(self):
        experiment = Experiment(new_state(), Optimizer.ogda(0.1, 2), 3)
        first = experiment.run_experiment_until_convergence_in_place()
        second = experiment.run_experiment_until_convergence_in_place()
        continued = run(new_state(), Optimizer.ogda(0.1, 2), 6)
        np.testing.assert_array_equal(np.vstack([first.x_history, second.x_history]), continued.x_history)
        np.testing.assert_array_equal(np.concatenate([first.gaps_history, second.gaps_history]), continued.gaps_history)

    def test_experiments_share_their_state(self):
        state = new_state()
        run(state, Optimizer.ogda(0.1, 2), 2)
        shared = run(state, Optimizer.ogda(0.1, 2), 1)
        assert not np.array_equal(shared.x_history[0], X0)

    def test_convergence_pads_the_histories(self):
        result = run(new_state(x=HALF, y=HALF), Optimizer.ogda(0.1, 2), 5)
        assert np.all(result.gaps_history == result.gaps_history[0])
        assert np.all(result.x_history == result.x_history[0])

    def test_mismatched_optimizer_dimension_panics(self):
        with pytest.raises(panic_type()):
            run(new_state(), Optimizer.ogda(0.1, 3), 2)

    def test_experiment_keeps_its_objects_alive(self):
        state, optimizer = new_state(), Optimizer.ogda(0.1, 2)
        before = sys.getrefcount(state), sys.getrefcount(optimizer)
        experiment = Experiment(state, optimizer, 1)
        assert (sys.getrefcount(state), sys.getrefcount(optimizer)) == (before[0] + 1, before[1] + 1)
        del experiment
        assert (sys.getrefcount(state), sys.getrefcount(optimizer)) == before


class TestOutputs:
    def test_scattered_arrays_outlive_their_output_object(self):
        out = INSTANCES["PyScatteredOutput"]()
        norms, metrics = out.norms, out.metrics
        expected = norms.copy()
        del out
        gc.collect()
        np.testing.assert_array_equal(norms, expected)
        assert norms.flags.writeable and metrics.shape == (2,)

    def test_concentric_arrays_are_stored_once(self):
        out = INSTANCES["PyConcentricOutput"]()
        out.metrics[0, 0] = 42.0
        assert out.metrics[0, 0] == 42.0
        assert out.slice_boundaries.flags.c_contiguous
