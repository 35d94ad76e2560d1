"""The face-swap network's embedding map: where it is kept, loading it, extracting it from the model."""

import cupy as cp
import onnx
import os

def emap_path() -> str:
    """Where load_emap looks: $QUORVEX_EMAP, else quorvex/emap.npy under $XDG_CACHE_HOME or ~/.cache."""
def load_emap(path: str | os.PathLike | None = None) -> cp.ndarray:
    """The embedding map at path (default: emap_path()) as a float32 device matrix. Raises FileNotFoundError when there is none."""
def extract_emap(model: str | bytes | onnx.ModelProto, path: str | os.PathLike | None = None) -> str:
    """Saves the embedding map of an identity-swap ONNX model (its last initializer, a D x D matrix) where load_emap finds it, or to path; returns the path written."""
