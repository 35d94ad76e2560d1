"""Face identity swap with an ONNX network through ONNX Runtime, on 128 x 128 aligned face crops."""

from quorvex.face.schema import QvFace
import cupy as cp
import numpy as np
import onnxruntime as ort
import os

def session_arguments(device: str) -> dict[str, object]:
    """The keyword arguments an InferenceSession gets for device: session_options (log levels 4), providers and provider_options. 'cuda:N' anywhere selects CUDA device N, 'cuda' CUDA, 'trt' TensorRT (2 GiB workspace, fp16 off, engine and timing caches in models/trt_engine_cache, sparsity on), anything else the CPU."""
swap_latent_kernel_code: str
swap_latent_kernel: cp.RawKernel
swap_output_kernel_code: str
swap_output_kernel: cp.RawKernel

class FaceSwap:
    """Puts the identity of a source face into a target face crop."""
    session: ort.InferenceSession
    emap: cp.ndarray
    input_mean: float
    input_std: float
    input_names: list[str]
    output_names: list[str]
    input_shape: list
    input_size: tuple[int, int]
    def __init__(self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = 'cuda', emap_path: str | os.PathLike | None = None) -> None:
        """Creates the session (model_bytes wins over model_path) with the providers device selects (see session_arguments) and loads the embedding map (from emap_path if given, else where quorvex.face.emap.emap_path() says). With device 'trt' the engine cache folder models/trt_engine_cache is created in the working directory."""
    def forward(self, img: np.ndarray, latent: np.ndarray) -> np.ndarray:
        """Runs the network on a packed NCHW host blob and a (1, D) host latent; returns its NCHW output."""
    def get(self, target_face: QvFace, source_face: QvFace) -> cp.ndarray:
        """
        The target face's crop (BGR, 0..1) with the source face's identity, at the crop's own size.

        Args:
            target_face: the face whose crop is swapped; crops of any element type (uint8, uint16 scaled to 0..1) are converted to float32.
            source_face: the face whose normed_embedding gives the identity; embeddings of any float type (host or device) are converted to float32.

        Returns:
            The crop swapped at 128 x 128 and resized back to its own size, clipped to 0..1.

        Raises:
            ValueError: a normed_embedding that the map takes to zero (or to a non-finite latent).
        """
    def latent(self, source_face: QvFace) -> np.ndarray:
        """The source face's identity as the network takes it: its normed_embedding through the embedding map, normalised again, as a (1, D) float32 host array. Raises ValueError as get() does."""
    def get_many(self, target_faces: list[QvFace] | tuple[QvFace, ...], latent: np.ndarray | cp.ndarray) -> cp.ndarray:
        """get() for the crops of several faces (of one size) and a source's latent(): an (N, height, width, 3) device array, equal to N calls of get(). The faces go through the network in one run where it takes a batch (one run each where its batch is 1); on a GPU provider the device arrays are bound in place and nothing waits on the host."""
