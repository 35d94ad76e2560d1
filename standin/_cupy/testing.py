"""Stand-in for ``cupy.testing``: NumPy's assertions, taking device or host arrays."""

import numpy as np

from ._core import ndarray


def _host(x):
    return x.get() if isinstance(x, ndarray) else x


def _assertion(fn):
    def check(*args, **kwargs):
        return fn(*(_host(a) for a in args), **{k: _host(v) for k, v in kwargs.items()})
    check.__name__ = fn.__name__
    check.__doc__ = fn.__doc__
    return check


assert_allclose = _assertion(np.testing.assert_allclose)
assert_array_equal = _assertion(np.testing.assert_array_equal)
assert_array_almost_equal = _assertion(np.testing.assert_array_almost_equal)
assert_array_less = _assertion(np.testing.assert_array_less)
assert_array_max_ulp = _assertion(np.testing.assert_array_max_ulp)
assert_array_almost_equal_nulp = _assertion(np.testing.assert_array_almost_equal_nulp)
assert_equal = _assertion(np.testing.assert_equal)
