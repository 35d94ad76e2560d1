"""Face detection with a TensorRT engine, giving QvFace records with aligned crops."""

from quorvex.face.schema import QvFace
from typing import Optional
import cupy as cp
import numpy as np
import tensorrt as trt

decode_kernel_code: str
decode_kernel: cp.RawKernel

class TrtFaceDetection:
    """Runs an anchor-based face-detection engine (6, 9, 10 or 15 outputs) on BGR device frames."""
    device_id: int
    logger: trt.Logger
    runtime: trt.Runtime
    engine: trt.ICudaEngine
    ctx: trt.IExecutionContext
    stream: cp.cuda.Stream
    d_inputs: dict[str, cp.ndarray]
    d_outputs: dict[str, cp.ndarray]
    input_size: tuple[int, int]
    center_cache: dict
    nms_thresh: float
    det_thresh: float
    input_mean: float
    input_std: float
    input_tensor: str
    output_names: list[str]
    use_kps: bool
    def __init__(self, model_path: Optional[str] = None, model_bytes: Optional[bytes] = None, device_id: int = 0) -> None:
        """Loads the engine (model_path wins over model_bytes) and binds its buffers."""
    def initialize(self) -> None:
        """Creates the stream, allocates and binds one device buffer per I/O tensor and reads the output layout and input size from the engine."""
    def pre_process(self, image: cp.ndarray) -> cp.ndarray:
        """Network input blob of an image of the input size: (v - 0.5) / (128 / 255)."""
    def forward(self, image: cp.ndarray, threshold: float, clip_kps: bool = True) -> tuple[list[cp.ndarray], list[cp.ndarray], list[cp.ndarray]]:
        """Runs the engine on an image of the input size; per stride, the scores, boxes (input pixels) and landmarks of the anchors scoring at least threshold; landmarks clipped at 0 (distance2kps), or as decoded with clip_kps False. The arrays share the output buffers' lifetime only until the next call."""
    def get(self, image: cp.ndarray, crop_size: int = 512, max_num: int = 0, metric: str = 'default') -> list[QvFace]:
        """
        Faces of a BGR frame in descending score order.

        Alignment uses the landmarks before clipping, so faces cut by the frame's edges keep their shape; a face whose landmarks admit no alignment is left out.

        Args:
            image: the BGR frame.
            crop_size: the side of each face's square aligned crop.
            max_num, metric: max_num > 0 keeps that many: the largest (metric 'max') or the largest nearest the centre (otherwise).

        Returns:
            QvFace records, each with its box and landmarks in frame pixels (clipped at 0), the crop_size x crop_size aligned crop and the matrix mapping frame pixel centres onto the crop's.
        """
    def detect(self, image: cp.ndarray, max_num: int = 0, metric: str = 'default') -> np.ndarray:
        """The faces get() finds, as a (n, 15) float32 host array in the same order: x1, y1, x2, y2, score and the five (x, y) landmarks, in frame pixels and not clipped; align() makes them QvFace records."""
    def align(self, image: cp.ndarray, detections: np.ndarray, crop_size: int = 512) -> list[QvFace]:
        """QvFace records of detect()'s rows (their landmarks changed as the caller needs, smoothed over frames say), as get() gives them: all crops in one warp, a face whose landmarks admit no alignment left out. align(image, detect(image)) equals get(image)."""
    def nms(self, dets) -> list[int]:
        """Greedy suppression of (n, 5) rows x1, y1, x2, y2, score: kept row indices, best first."""
    def distance2bbox(self, points: cp.ndarray, distance: cp.ndarray, max_shape=None) -> cp.ndarray:
        """Boxes (n, 4) from anchor centres and (left, top, right, bottom) distances."""
    def distance2kps(self, points: cp.ndarray, distance: cp.ndarray, max_shape=None) -> cp.ndarray:
        """Landmarks (n, 10) from anchor centres and offsets, clipped to [0, bound]."""
    def crop(self, image: cp.ndarray, kps: cp.ndarray, size: int = 512) -> tuple[cp.ndarray, cp.ndarray]:
        """Aligned size x size crop of a BGR float32 frame (aligned at twice the size, then halved by area averaging) and the matrix mapping frame pixel centres onto the crop's, as crop_from_kps at size would give it."""
