"""Super-resolution with a TensorRT engine: batches of tiles upscaled on the device."""

from typing import Optional
import cupy as cp
import numpy as np


class TrtUpscaler:
    """Runs a super-resolution engine on NCHW batches of RGB tiles."""
    def __init__(self, model_path: Optional[str] = None, model_bytes: Optional[bytes] = None, device_id: int = 0) -> None:
        """
        Loads the engine (model_path wins over model_bytes) on device_id and binds one device buffer per I/O tensor.

        An input with run-time dimensions is bound at its profile's optimal shape. Sets input_low and input_high, the (batch, channels, height, width) bounds the input takes (-1: no upper bound), and input_dtype and output_dtype.

        Args:
            model_path, model_bytes: the serialized engine; model_path wins over model_bytes.
            device_id: the CUDA device the engine runs on.

        Raises:
            ValueError: an engine without exactly one input and one output, or whose input is not four-dimensional.
            RuntimeError: TensorRT cannot load it.
        """
    def forward(self, batch: cp.ndarray | np.ndarray) -> cp.ndarray:
        """Runs the engine on an NCHW batch (a host batch is copied to the device; every batch is converted to the engine's element type) and returns a copy of its output, in the engine's output type. The caller's stream waits for the engine, not the host. Raises ValueError for a batch the engine does not take."""
