"""Argument handling shared by every entry of the package, seen through real entries."""

import inspect

import cupy as cp
import numpy as np
import pytest

from quorvex.filter.gaussian import GaussianBlur
from quorvex.transform.affine import crop_from_kps
from quorvex.transform.resize import INTER_AUTO, resize

IMAGE = cp.zeros((8, 8, 3), cp.float32)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: GaussianBlur().get(IMAGE, True, 1.0),
         "Argument 'ksize' has incorrect type (expected int, got bool). "
         "Subclasses of built-in types are not accepted."),
        (lambda: GaussianBlur().get(IMAGE, None, 1.0), "Argument 'ksize' has incorrect type (expected int, got NoneType)"),
        (lambda: crop_from_kps(IMAGE, np.zeros((5, 2), np.float32), size=np.int64(4)),
         "Argument 'size' has incorrect type (expected int, got numpy.int64)"),
        (lambda: resize(IMAGE, (4, 4), interpolation=False),
         "Argument 'interpolation' has incorrect type (expected int, got bool). "
         "Subclasses of built-in types are not accepted."),
    ],
)
def test_exact_types_are_required_and_subclasses_named(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: GaussianBlur().get(IMAGE), "get() takes exactly 3 positional arguments (1 given)"),
        (lambda: GaussianBlur().get(IMAGE, 3, 1.0, 4), "get() takes exactly 3 positional arguments (4 given)"),
        (lambda: GaussianBlur(1), "__init__() takes exactly 0 positional arguments (1 given)"),
        (lambda: resize(IMAGE), "resize() takes at least 2 positional arguments (1 given)"),
        (lambda: resize(IMAGE, (4, 4), 1, 2), "resize() takes at most 3 positional arguments (4 given)"),
        (lambda: resize(IMAGE, (4, 4), **{"interp": 1}), "resize() got an unexpected keyword argument 'interp'"),
        (lambda: resize(IMAGE, (4, 4), 1, interpolation=1), "resize() got multiple values for argument 'interpolation'"),
    ],
)
def test_counts_and_keywords(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_keywords_and_positions_are_interchangeable():
    blur = GaussianBlur()
    by_position = blur.get(IMAGE + 1, 3, 0.0)
    by_keyword = blur.get(sigma=0.0, ksize=3, image=IMAGE + 1)
    np.testing.assert_array_equal(by_position.get(), by_keyword.get())
    assert resize(image=IMAGE, size=(4, 2)).shape == (2, 4, 3)


def test_methods_bind_and_report_their_signature():
    blur = GaussianBlur()
    assert str(inspect.signature(blur.get)) == "(image: 'cp.ndarray', ksize: 'int', sigma: 'float') -> 'cp.ndarray'"
    assert str(inspect.signature(GaussianBlur.get)).startswith("(self, image:")
    sig = inspect.signature(resize)
    assert sig.parameters["interpolation"].default == INTER_AUTO
    assert resize.__module__ == "quorvex.transform.resize" and resize.__name__ == "resize"
    assert GaussianBlur.get.__qualname__ == "GaussianBlur.get"
