"""The jobs users run, in plain Python over the package's modules: an upscaler and a face
swapper, and the stages that overlap a job's reading, device work and writing.

    from quorvex.pipeline import Upscaler
    big = Upscaler("4x.pth").upscale(image)
"""

from .errors import BadInput, JobError
from .stages import StageTimes, overlapped, run_stages
from .swap import FaceRestorer, FaceSwapper
from .upscale import UpscaleOptions, Upscaler

__all__ = ["BadInput", "FaceRestorer", "FaceSwapper", "JobError", "StageTimes", "UpscaleOptions", "Upscaler", "overlapped", "run_stages"]
