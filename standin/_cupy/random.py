"""Stand-in for ``cupy.random``: NumPy's generators with device results."""

import numpy as np

from ._core import ObjectProxy, forward_attr


def RandomState(seed=None):
    return ObjectProxy(np.random.RandomState(seed), 'random.RandomState')


def default_rng(seed=None):
    return ObjectProxy(np.random.default_rng(seed), 'random.Generator')


def get_random_state():
    return ObjectProxy(np.random.mtrand._rand, 'random.RandomState')


def seed(seed=None):
    np.random.seed(seed)


def __getattr__(name):
    if name.startswith('__'):
        raise AttributeError(name)
    value = forward_attr(getattr(np.random, name), 'random.' + name)
    globals()[name] = value
    return value
