"""The face record shared by detection, embedding and swapping."""

from pydantic import BaseModel
import cupy as cp


class QvFace(BaseModel):
    """One face: box, score, landmarks, alignment matrix, aligned crop and identity embeddings."""
    bbox: cp.ndarray
    score: float
    kps: cp.ndarray | None = None
    matrix: cp.ndarray | None = None
    embedding: cp.ndarray | None = None
    normed_embedding: cp.ndarray | None = None
    image: cp.ndarray | None = None
