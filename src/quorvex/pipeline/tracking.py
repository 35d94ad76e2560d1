"""Faces followed through a video: each detection is matched to the face it was in the frames
before (by box overlap), so that a choice of faces stays with the same people, and its landmarks
go through a One Euro filter (Casiez et al., 2012), which smooths the detector's jitter on a face
that holds still and follows one that moves fast, so that the pasted face does not shimmer.

Works on TrtFaceDetection.detect()'s host rows (box, score, five landmarks): no device work.
"""

from __future__ import annotations

import dataclasses
import itertools
import math

import numpy as np

BOX, SCORE, LANDMARKS = slice(0, 4), 4, slice(5, 15)


def iou(boxes, others) -> np.ndarray:
    """The (len(boxes), len(others)) intersection over union of x1, y1, x2, y2 boxes."""
    a, b = np.asarray(boxes, np.float64)[:, None, :], np.asarray(others, np.float64)[None, :, :]
    width = np.clip(np.minimum(a[..., 2], b[..., 2]) - np.maximum(a[..., 0], b[..., 0]), 0, None)
    height = np.clip(np.minimum(a[..., 3], b[..., 3]) - np.maximum(a[..., 1], b[..., 1]), 0, None)
    inter = width * height
    area = lambda r: np.clip(r[..., 2] - r[..., 0], 0, None) * np.clip(r[..., 3] - r[..., 1], 0, None)  # noqa: E731
    union = area(a) + area(b) - inter
    return np.divide(inter, union, out=np.zeros_like(inter), where=union > 0)


def smoothing(cutoff: float) -> float:
    """The exponential smoothing factor of a first-order low-pass filter at cutoff (cycles per
    frame), one frame apart."""
    tau = 1.0 / (2 * math.pi * cutoff)
    return 1.0 / (1.0 + tau)


@dataclasses.dataclass
class Track:
    id: int
    box: np.ndarray
    landmarks: np.ndarray  # (10,) filtered
    speed: np.ndarray  # (5,) filtered, face widths per frame
    missing: int = 0
    chosen: bool = False  # among the faces a frame's selection took
    identity: bool | None = None  # is the reference person (None: not asked yet)


class FaceTracker:
    """Tracks faces from frame to frame. min_cutoff (cycles per frame) is how much a still face
    is smoothed, beta how fast the smoothing lets go as a face moves (per face width per frame);
    a face unseen for more than patience frames is forgotten."""

    def __init__(self, min_cutoff: float = 0.05, beta: float = 5.0, speed_cutoff: float = 0.1,
                 overlap: float = 0.3, patience: int = 10):
        self.min_cutoff, self.beta, self.speed_cutoff = min_cutoff, beta, speed_cutoff
        self.overlap, self.patience = overlap, patience
        self.tracks: list[Track] = []
        self._ids = itertools.count()

    def update(self, rows: np.ndarray) -> tuple[np.ndarray, list[Track]]:
        """The rows (detect()'s (n, 15) table) with their landmarks filtered, and each row's track."""
        rows = np.array(rows, np.float32, copy=True).reshape(-1, 15)
        matched = self._match(rows)
        tracks = []
        for i, row in enumerate(rows):
            track = matched.get(i)
            if track is None:
                track = Track(next(self._ids), row[BOX].astype(np.float64), row[LANDMARKS].astype(np.float64),
                              np.zeros(5))
                self.tracks.append(track)
            else:
                self._filter(track, row)
            track.box, track.missing = row[BOX].astype(np.float64), 0
            row[LANDMARKS] = track.landmarks
            tracks.append(track)
        seen = {id(t) for t in tracks}
        for track in self.tracks:
            if id(track) not in seen:
                track.missing += 1
        self.tracks = [t for t in self.tracks if t.missing <= self.patience]
        return rows, tracks

    def _match(self, rows) -> dict:
        """Greedy matching, best overlap first, of rows to the known tracks."""
        if not self.tracks or not len(rows):
            return {}
        overlaps = iou(rows[:, BOX], [t.box for t in self.tracks])
        matched, taken = {}, set()
        for flat in np.argsort(-overlaps, axis=None, kind="stable"):
            i, j = divmod(int(flat), len(self.tracks))
            if overlaps[i, j] < self.overlap:
                break
            if i not in matched and j not in taken:
                matched[i] = self.tracks[j]
                taken.add(j)
        return matched

    def _filter(self, track: Track, row) -> None:
        landmarks = row[LANDMARKS].astype(np.float64)
        if track.missing or (landmarks <= 0).any():
            # After a gap, or with landmarks cut by the frame's edge (the detector clips them),
            # the face starts again from what is seen.
            track.landmarks, track.speed = landmarks, np.zeros(5)
            return
        width = max(float(row[2] - row[0]), 1.0)
        step = (landmarks - track.landmarks).reshape(5, 2)
        a = smoothing(self.speed_cutoff)
        track.speed = a * np.hypot(step[:, 0], step[:, 1]) / width + (1 - a) * track.speed
        cutoff = self.min_cutoff + self.beta * track.speed  # per landmark
        a = np.repeat(np.array([smoothing(c) for c in cutoff]), 2)
        track.landmarks = a * landmarks + (1 - a) * track.landmarks


def select_tracked(rows, tracks: list[Track], which) -> list[int]:
    """Indices of the rows to swap: "all", or the largest (count) faces, those chosen in the
    frames before kept while they are seen and the rest filled up by box area."""
    if which == "all":
        return list(range(len(rows)))
    count = 1 if which == "largest" else which
    area = lambda i: float((rows[i][2] - rows[i][0]) * (rows[i][3] - rows[i][1]))  # noqa: E731
    ordered = sorted(range(len(rows)), key=lambda i: (not tracks[i].chosen, -area(i)))
    chosen = ordered[:count]
    for i, track in enumerate(tracks):
        track.chosen = i in chosen
    return chosen
