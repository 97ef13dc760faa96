"""The module object, its functions, and how failures of the native code reach Python."""
import importlib
import subprocess
import sys

import pytest

import quarnel
from quarnel import Optimizer
from support import PanicException

REGISTRATION_ORDER = [
    "GameResult", "GameState", "neighborhood_exploration", "concentric_exploration", "scattered_exploration",
    "Experiment", "PyConcentricOutput", "PyScatteredOutput", "Ogda", "OmwuOftrl", "OmwuOomd", "Optimizer",
]
FUNCTION_SIGNATURES = {
    "scattered_exploration": "(a_delta, optimizer, num_exploration, num_steps, inner_radius, outer_radius,"
    " norm_str, metric_method, cutoff=0.1)",
    "concentric_exploration": "(a_delta, optimizer, num_exploration, num_steps, inner_radius, outer_radius,"
    " num_slices, metric_method, cutoff=0.1)",
    "neighborhood_exploration": "(matrices, optimizer, num_steps, normalize_matrix)",
}
# A subinterpreter tries to import the module (before or after the main interpreter did) and is
# destroyed; the main interpreter then uses the module. The subinterpreter shares the main one's
# lock (from 3.12 on the default kind has its own, and the interpreter itself refuses modules
# initialised in one phase, without calling their init).
SUBINTERPRETER_IMPORT = """
import sys
if sys.version_info >= (3, 13):
    import _interpreters as interpreters
    interpreter = interpreters.create("legacy")
    failure = interpreters.run_string(interpreter, "import quarnel")
    print(failure and failure.formatted)
else:
    import _xxsubinterpreters as interpreters
    interpreter = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {}))
    try:
        interpreters.run_string(interpreter, "import quarnel")
    except interpreters.RunFailedError as failure:
        print(failure)
interpreters.destroy(interpreter)
import quarnel
quarnel.Optimizer.ogda(0.1, 2)
"""


@pytest.mark.quick
def test_all_lists_the_entries_in_registration_order():
    assert quarnel.__all__ == REGISTRATION_ORDER
    assert all(hasattr(quarnel, name) for name in REGISTRATION_ORDER)


def test_importing_again_gives_the_same_module_object():
    first = quarnel
    del sys.modules["quarnel"]
    try:
        assert importlib.import_module("quarnel") is first
    finally:
        sys.modules["quarnel"] = first


@pytest.mark.parametrize("main_first", [True, False])
def test_only_the_main_interpreter_imports_the_module(main_first):
    script = ("import quarnel\n" if main_first else "") + SUBINTERPRETER_IMPORT
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "ImportError" in done.stdout and "import it in the main interpreter" in done.stdout, done.stdout


@pytest.mark.quick
def test_import_issues_no_warning_and_the_doc_is_one_sentence():
    done = subprocess.run([sys.executable, "-W", "error", "-c", "import quarnel"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert quarnel.__doc__.endswith(".") and ". " not in quarnel.__doc__ and "\n" not in quarnel.__doc__


def test_only_the_init_function_is_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", quarnel.__file__], check=True, capture_output=True,
                             text=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_quarnel"]


@pytest.mark.parametrize("name", sorted(FUNCTION_SIGNATURES))
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(quarnel, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__module__ == "quarnel" and function.__self__ is quarnel
    assert function.__text_signature__ == FUNCTION_SIGNATURES[name] and function.__doc__ is None


def test_panic_exception_is_a_base_exception_outside_the_module():
    assert PanicException.__module__ == "pyo3_runtime" and PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    assert PanicException.__doc__ and "PanicException" not in dir(quarnel)
    with pytest.raises(PanicException) as caught:  # one type per process, the message its only argument
        Optimizer.ogda(0.1, 0)
    assert caught.value.args == ("Issue computing theta",)
