"""The package as users and editors see it: compiled modules, real signatures, current stubs."""

import copy
import importlib
import importlib.machinery
import os
import pathlib
import pickle
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import stubgen  # noqa: E402
from conftest import ON_GPU  # noqa: E402

MODULES = stubgen.module_names()


@pytest.mark.parametrize("name", MODULES)
def test_every_module_is_a_compiled_extension(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), module.__file__


@pytest.mark.parametrize("name", MODULES)
def test_stubs_are_current(name):
    path = stubgen.stub_path(name)
    assert path.exists(), f"no stub for {name}: run make stubs"
    assert path.read_text() == stubgen.render(name), f"stale stub for {name}: run make stubs"


def test_modules_import_without_cupy_and_say_what_to_install():
    script = f"""
import sys
sys.modules['cupy'] = None  # as if CuPy were not installed
import importlib
for name in {MODULES!r}:
    importlib.import_module(name)
import numpy as np
from quorvex.color.grayscale import rgb_to_grayscale
try:
    rgb_to_grayscale(np.zeros((2, 2, 3), np.float32))
except ModuleNotFoundError as error:
    print(error)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "quorvex[cuda12]" in out and "quorvex[cuda13]" in out


def test_functions_and_classes_pickle_and_copy_by_reference():
    def is_function(v):
        return repr(type(v)) == "<class 'quorvex.function'>"

    shared = []
    for name in MODULES:
        module = vars(importlib.import_module(name)).values()
        shared += [v for v in module if is_function(v) or isinstance(v, type) and v.__module__ == name]
    shared += [m for cls in shared if isinstance(cls, type) for m in vars(cls).values() if is_function(m)]
    assert len(shared) > 40
    assert {type(v) for v in shared if is_function(v)} == {importlib.import_module("quorvex")._function_type}
    for obj in shared:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(obj, protocol)) is obj, (obj, protocol)
        assert copy.copy(obj) is obj and copy.deepcopy(obj) is obj, obj


def test_first_calls_from_many_threads_at_once_do_not_deadlock():
    # The modules look up their siblings on first use; an import lets go of the GIL while it runs.
    script = ("" if ON_GPU else "import standin\nstandin.install()\n") + """
import sys, threading
sys.setswitchinterval(1e-6)
import cupy as cp
from quorvex.utils.blob import to_blob
from quorvex.color.grayscale import rgb_to_grayscale
image = cp.zeros((8, 8, 3), cp.float32)
start = threading.Barrier(8)
def first_calls():
    start.wait()
    to_blob(image, size=(4, 4), swapRB=True)
    rgb_to_grayscale(image)
threads = [threading.Thread(target=first_calls) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("done")
"""
    env = {**os.environ, "PYTHONPATH": str(ROOT)}  # the stand-ins
    try:
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("threads making their first calls at once deadlocked")
    assert out.stdout.strip() == "done", out.stderr
