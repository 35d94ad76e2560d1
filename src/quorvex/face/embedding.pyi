"""Face embedding with an ONNX model through ONNX Runtime: identity vectors of aligned face crops."""

from quorvex.face.schema import QvFace
import cupy as cp
import onnxruntime as ort

def session_arguments(device: str) -> dict[str, object]:
    """The keyword arguments an InferenceSession gets for device: session_options (log levels 4), providers and provider_options. 'cuda:N' anywhere selects CUDA device N, 'cuda' CUDA, 'trt' TensorRT (2 GiB workspace, fp16 off, engine and timing caches in models/trt_engine_cache, sparsity on), anything else the CPU."""

class FaceEmbedding:
    """Runs an ONNX face-embedding model on aligned BGR face crops."""
    session: ort.InferenceSession
    input_mean: float
    input_std: float
    input_size: tuple[int, int]
    input_shape: list
    input_name: str
    output_names: list[str]
    def __init__(self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = 'cuda') -> None:
        """Creates the session (model_bytes wins over model_path) with the providers device selects (see session_arguments). Models whose first 8 nodes subtract and multiply get 0..1 input (mean 0, std 1); others -1..1 (mean 0.5, std 0.5)."""
    def forward(self, imgs: cp.ndarray | list[cp.ndarray]) -> cp.ndarray:
        """Network output for one RGB image or a list of them, packed at the input size. Raises ValueError for a batch the model does not take (more images than a fixed batch size)."""
    def get(self, face: QvFace) -> QvFace:
        """Fills embedding (the raw network output, flattened) and normed_embedding (unit Euclidean norm, float32 or wider) of the record from its aligned BGR crop; returns the same record. Raises ValueError, leaving the record unchanged, for an all-zero or non-finite embedding."""
