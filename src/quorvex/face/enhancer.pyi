"""Face restoration with an ONNX network at 512 x 512."""

import cupy as cp
import numpy as np
import onnxruntime as ort

restore_kernel_code: str
restore_kernel: cp.RawKernel

class GFPGAN:
    """Restores BGR face crops with an ONNX face-restoration network (RGB, -1 to 1, 512 x 512)."""
    session: ort.InferenceSession
    input_size: int
    def __init__(self, model_file, *args, **kwargs) -> None:
        """A session on model_file (a path or model bytes); keyword arguments go to the session, further positional arguments are ignored. A GPU provider is given a compute stream of its own (user_compute_stream) unless the options name one."""
    def get(self, image: cp.ndarray, density: int = 1) -> np.ndarray:
        """The restored face, 512 x 512 x 3, BGR, float32 in 0 to 1 (a device array). density > 1 first shrinks the crop to a square of side width // density."""
    def get_many(self, images: cp.ndarray | list[cp.ndarray], density: int = 1) -> cp.ndarray:
        """get() of each image (of one shape) or of an (N, H, W, 3) batch, in one run: an (N, 512, 512, 3) device array. On a GPU provider the device arrays are bound in place and nothing waits on the host."""
