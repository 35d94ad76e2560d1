"""Face embedding with a TensorRT engine: identity vectors of aligned face crops."""

from quorvex.face.schema import QvFace
from typing import Optional
import cupy as cp
import tensorrt as trt


class TrtFaceEmbedding:
    """Runs a face-embedding engine on aligned BGR face crops."""
    device_id: int
    logger: trt.Logger
    runtime: trt.Runtime
    engine: trt.ICudaEngine
    ctx: trt.IExecutionContext
    stream: cp.cuda.Stream
    d_inputs: dict[str, cp.ndarray]
    d_outputs: dict[str, cp.ndarray]
    input_tensor: str
    output_tensor: str
    input_size: tuple[int, int]
    input_mean: float
    input_std: float
    def __init__(self, model_path: Optional[str] = None, model_bytes: Optional[bytes] = None, device_id: int = 0) -> None:
        """Loads the engine (model_path wins over model_bytes) on device_id and binds its buffers."""
    def initialize(self) -> None:
        """Creates the stream, allocates and binds one device buffer per I/O tensor and reads the input and output shapes, the input size (112 x 112 for inputs of fewer than 4 dimensions) and the normalisation (mean 0.5, std 0.5)."""
    def forward(self, batch_data: cp.ndarray) -> cp.ndarray:
        """
        Runs the engine on an NCHW batch and returns a copy of the first output.

        Args:
            batch_data: the NCHW batch; host batches are copied to the device, every batch is converted to the engine's element type. An engine with run-time dimensions has its input shape (and buffers) follow the batch.

        Returns:
            A copy of the engine's first output.

        Raises:
            ValueError: a batch the engine does not take: another shape than a fixed-shape engine's input, or one outside the optimization profile of an engine with run-time dimensions.
        """
    def get(self, face: QvFace) -> QvFace:
        """Fills embedding (the raw network output, flattened) and normed_embedding (unit Euclidean norm, float32 or wider) of the record from its aligned BGR crop; returns the same record. Raises ValueError, leaving the record unchanged, for an all-zero or non-finite embedding."""
    def get_feat(self, imgs: list[cp.ndarray] | cp.ndarray) -> cp.ndarray:
        """Raw network output for one RGB image or a list of them, packed at the input size and mapped from 0..1 to -1..1."""
