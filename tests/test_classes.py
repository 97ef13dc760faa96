"""The shape every class of the module shares, and the behaviour of each class."""
import gc
import sys
import weakref

import numpy as np
import pytest

import quarnel
from quarnel import Experiment, GameState, Ogda, OmwuOftrl, OmwuOomd, Optimizer
from support import PanicException, run

A = np.array([[0.0, 1.0], [1.0, 0.0]])


def new_state():
    return GameState(np.array([0.9, 0.1]), np.array([0.2, 0.8]), A)


INSTANCES = {
    "GameResult": lambda: run(new_state(), Optimizer.ogda(0.1, 2), 3),
    "GameState": new_state,
    "Experiment": lambda: Experiment(new_state(), Optimizer.ogda(0.1, 2), 3),
    "PyConcentricOutput": lambda: quarnel.concentric_exploration(A, Optimizer.ogda(0.1, 2), 2, 3, 0, 1, 2, "max_last"),
    "PyScatteredOutput": lambda: quarnel.scattered_exploration(A, Optimizer.ogda(0.1, 2), 2, 3, 0.5, 1, "max",
                                                               "max_last"),
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
GETTERS = {
    "GameResult": ["x_history", "y_history", "gaps_history"],
    "GameState": ["a"],
    "PyConcentricOutput": ["slice_boundaries", "metrics"],
    "PyScatteredOutput": ["norms", "metrics"],
}
METHODS = {"Experiment": ["run_experiment_until_convergence_in_place"], "Optimizer": ["ogda", "omwuoomd", "omwuoftrl"]}
ALL_CLASSES = sorted(INSTANCES)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_shape(name):
    cls = getattr(quarnel, name)
    assert cls.__module__ == "builtins" and cls.__name__ == cls.__qualname__ == name and cls.__bases__ == (object,)
    assert set(vars(cls)) - {"__new__", "__doc__", "__module__"} == set(GETTERS.get(name, []) + METHODS.get(name, []))
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if sys.version_info >= (3, 10):
        with pytest.raises(TypeError):  # a replaced __new__ could skip building the payload
            cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
    instance = INSTANCES[name]()
    assert type(instance) is cls and not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_constructor_signature_is_the_doc_or_calls_are_refused(name):
    cls = getattr(quarnel, name)
    assert cls.__doc__ is None
    if name in CONSTRUCTOR_SIGNATURES:
        assert cls.__text_signature__ == CONSTRUCTOR_SIGNATURES[name]
        return
    for args in [(), (1, 2)]:
        with pytest.raises(TypeError, match="^No constructor defined for " + name + "$"):
            cls(*args)


@pytest.mark.parametrize("name", sorted(GETTERS))
def test_getters_are_read_only_with_empty_doc_in_order(name):
    cls = getattr(quarnel, name)
    getters = [key for key, value in vars(cls).items() if type(value).__name__ == "getset_descriptor"]
    assert getters == GETTERS[name]
    instance = INSTANCES[name]()
    for getter in getters:
        assert vars(cls)[getter].__doc__ == ""
        with pytest.raises(AttributeError):
            setattr(instance, getter, None)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_instances_release_their_class(name):
    cls = getattr(quarnel, name)
    INSTANCES[name]()
    gc.collect()
    before = sys.getrefcount(cls)
    for _ in range(50):
        INSTANCES[name]()
    assert sys.getrefcount(cls) == before


@pytest.mark.parametrize("method", METHODS["Optimizer"])
def test_optimizer_factories_are_static_methods_in_order(method):
    function = getattr(Optimizer, method)
    assert function.__text_signature__ == "(eta, dim)" and function.__doc__ is None
    assert list(vars(Optimizer)).index(method) == METHODS["Optimizer"].index(method) + 1
    existing = Optimizer.ogda(0.1, 2)
    made = getattr(existing, method)(0.2, 4)
    assert type(made) is Optimizer and made is not existing
    assert type(function(eta=0.1, dim=3)) is Optimizer
    # The instance it was called on is untouched.
    np.testing.assert_array_equal(run(new_state(), existing, 4).x_history,
                                  run(new_state(), Optimizer.ogda(0.1, 2), 4).x_history)


@pytest.mark.parametrize("variant", [Ogda, OmwuOomd, OmwuOftrl])
def test_variants_are_not_optimizers(variant):
    assert not isinstance(variant(0.1, 3), Optimizer)


@pytest.mark.parametrize("make, panics", [(Optimizer.ogda, True), (Optimizer.omwuoomd, True), (Ogda, True),
                                          (OmwuOomd, True), (Optimizer.omwuoftrl, False), (OmwuOftrl, False)])
def test_zero_dimension_fails_only_where_it_is_projected(make, panics):
    if panics:
        with pytest.raises(PanicException, match="^Issue computing theta$"):
            make(0.1, 0)
    else:
        make(0.1, 0)


def test_experiment_method_takes_no_arguments_and_keeps_its_objects_alive():
    method = Experiment.run_experiment_until_convergence_in_place
    assert method.__text_signature__ == "($self)" and method.__doc__ is None
    state, optimizer = new_state(), Optimizer.ogda(0.1, 2)
    before = sys.getrefcount(state), sys.getrefcount(optimizer)
    experiment = Experiment(state, optimizer, 1)
    assert (sys.getrefcount(state), sys.getrefcount(optimizer)) == (before[0] + 1, before[1] + 1)
    with pytest.raises(TypeError):
        experiment.run_experiment_until_convergence_in_place(1)
    del experiment
    assert (sys.getrefcount(state), sys.getrefcount(optimizer)) == before


def test_game_result_getters_copy():
    result = INSTANCES["GameResult"]()
    assert result.x_history is not result.x_history
    result.gaps_history[:] = -1.0
    assert np.all(result.gaps_history >= 0.0)


@pytest.mark.parametrize("name", ["PyScatteredOutput", "PyConcentricOutput"])
def test_output_arrays_are_stored_once_and_outlive_their_object(name):
    out = INSTANCES[name]()
    arrays = [getattr(out, getter) for getter in GETTERS[name]]
    assert all(getattr(out, getter) is array for getter, array in zip(GETTERS[name], arrays))
    arrays[-1].flat[0] = 42.0
    assert out.metrics.flat[0] == 42.0
    expected = [array.copy() for array in arrays]
    del out
    gc.collect()
    for array, copy in zip(arrays, expected):
        assert array.flags.writeable and array.flags.c_contiguous
        np.testing.assert_array_equal(array, copy)
