import numpy as np
import pytest

from quorvex.pipeline.tracking import FaceTracker, select_tracked

rng = np.random.default_rng(0)
SHAPE = np.array([[30, 40], [70, 40], [50, 60], [35, 80], [65, 80]], np.float64)  # a 100-pixel face


def row(x, y, landmarks, side=100):
    return np.concatenate([[x, y, x + side, y + side, 0.9], (landmarks + [x, y]).ravel()])


# A face that holds still is smoothed; one that moves fast is followed closely.
@pytest.mark.parametrize("speed, most_error", [(0, 0.6), (10, 4.0)])
def test_landmarks_are_smoothed_and_follow_motion(speed, most_error):
    tracker, raw, smoothed = FaceTracker(), [], []
    for t in range(120):
        truth = SHAPE + [100 + speed * t, 100]
        seen = truth + rng.normal(0, 0.75, truth.shape)
        rows, _ = tracker.update(row(100 + speed * t, 100, seen - [100 + speed * t, 100])[None])
        if t >= 20:
            raw.append(np.abs(seen - truth).mean())
            smoothed.append(np.abs(rows[0, 5:].reshape(5, 2) - truth).mean())
    if speed == 0:
        assert np.mean(smoothed) < most_error * np.mean(raw)
    else:
        assert np.mean(smoothed) < most_error


def test_the_chosen_face_stays_chosen_while_it_is_seen():
    tracker = FaceTracker(patience=2)
    picks = []
    for t in range(12):
        # The face on the left shrinks below the one on the right at t = 3 and leaves at t = 6;
        # back larger after a gap longer than patience, it is another face to the tracker.
        left = [row(100, 100, SHAPE, 100 - 5 * t)] if t < 6 else [row(100, 100, SHAPE)] if t > 9 else []
        rows = np.array(left + [row(400, 100, SHAPE, 90)])
        rows, tracks = tracker.update(rows)
        (pick,) = select_tracked(rows, tracks, "largest")
        picks.append(int(rows[pick, 0]))
    assert picks == [100] * 6 + [400] * 6
    assert len({t.id for t in tracker.tracks}) == len(tracker.tracks) == 2
