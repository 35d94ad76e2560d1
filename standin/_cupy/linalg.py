"""Stand-in for ``cupy.linalg``: NumPy's linear algebra with device results."""

import numpy as np

from ._core import forward, forward_attr

LinAlgError = np.linalg.LinAlgError

norm = forward(np.linalg.norm, 'linalg.norm')
inv = forward(np.linalg.inv, 'linalg.inv')
det = forward(np.linalg.det, 'linalg.det')
solve = forward(np.linalg.solve, 'linalg.solve')
lstsq = forward(np.linalg.lstsq, 'linalg.lstsq')
svd = forward(np.linalg.svd, 'linalg.svd')


def __getattr__(name):
    if name.startswith('__'):
        raise AttributeError(name)
    value = forward_attr(getattr(np.linalg, name), 'linalg.' + name)
    globals()[name] = value
    return value
