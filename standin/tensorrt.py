"""Test-side access to the TensorRT stand-in: ``from standin.tensorrt import engine_bytes``.

The stand-in itself lives in ``standin._tensorrt`` (``import tensorrt`` gives it
once ``standin.install()`` has run); this module re-exports its names so that
tests can use the helpers without going through ``sys.modules``.
"""

from ._tensorrt import *  # noqa: F401,F403
from ._tensorrt import ENGINE_MAGIC, engine_bytes  # noqa: F401
