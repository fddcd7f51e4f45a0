"""What importing either extension module guarantees: one module object, one interpreter, no
interpreter lock, and a clean retry after a failed import."""

import importlib
import os
import subprocess
import sys
import textwrap

import pytest

MODULES = ["tavrill._store", "tavrill._sampler"]


def run_fresh(code):
    """Runs `code` in a new interpreter and returns its stdout; fails on a non-zero exit."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("name", MODULES)
def test_reimport_hands_back_the_same_module(name):
    module = importlib.import_module(name)
    own = {key: value for key, value in vars(module).items() if not key.startswith("__")}
    saved = sys.modules.pop(name)
    try:
        again = importlib.import_module(name)
        assert again is saved
        assert all(vars(again)[key] is value for key, value in own.items())
    finally:
        sys.modules[name] = saved


@pytest.mark.parametrize("name", MODULES)
def test_runs_without_the_interpreter_lock(name):
    out = run_fresh(f"""
        import sys, sysconfig
        import {name}
        print(bool(sysconfig.get_config_var("Py_GIL_DISABLED")), sys._is_gil_enabled())
    """)
    built_free_threaded, gil = out.split()
    if built_free_threaded == "True":
        assert gil == "False"


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    importlib.import_module(name)
    interpreters = pytest.importorskip("_interpreters")
    interpreter = interpreters.create()
    try:
        failure = interpreters.exec(interpreter, f"import {name}")
    finally:
        interpreters.destroy(interpreter)
    assert failure is not None and failure.type.__name__ == "ImportError"
    assert failure.msg == ("Interpreter change detected - this module can only be loaded into "
                           "one interpreter per process.")


@pytest.mark.parametrize("name", MODULES)
def test_second_module_object_is_refused(name):
    out = run_fresh(f"""
        import importlib.util
        spec = importlib.util.find_spec("{name}")
        first, second = (importlib.util.module_from_spec(spec) for _ in range(2))
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)  # the module object already made: nothing to do
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
    """)
    short = name.rsplit(".", 1)[1]
    assert out.strip() == (
        f"Module '{short}' has already been imported. Re-initialisation is not supported.")


@pytest.mark.parametrize("name", MODULES)
def test_missing_numpy_fails_the_import_and_a_later_import_succeeds(name):
    out = run_fresh(f"""
        import sys
        saved = {{key: sys.modules.pop(key) for key in list(sys.modules)
                 if key == "numpy" or key.startswith("numpy.")}}
        sys.modules["numpy"] = None
        try:
            import {name}
        except ImportError as error:
            print(error)
        del sys.modules["numpy"]
        sys.modules.update(saved)
        import {name} as module
        print(sorted(vars(module))[-1])
    """)
    message, _ = out.strip().splitlines()
    assert message.startswith("numpy.core.multiarray failed to import (auto-generated because "
                              "you didn't call 'numpy.import_array()'")
