"""The jobs users run, in plain Python over the package's modules: stages that overlap a job's
reading, device work and writing."""

from .stages import StageTimes, run_stages

__all__ = ["StageTimes", "run_stages"]
