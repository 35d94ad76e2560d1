"""Stand-in for ``cupy.fft``."""

import numpy as np

from ._core import forward_attr


def __getattr__(name):
    if name.startswith('__'):
        raise AttributeError(name)
    value = forward_attr(getattr(np.fft, name), 'fft.' + name)
    globals()[name] = value
    return value
