import pathlib

import cupy as cp
import cv2
import numpy as np
import pytest
from support.detector_models import TEMPLATE, detector_model, face_at

from quorvex.face.detector import TrtFaceDetection
from quorvex.face.paste import paste_back
from quorvex.face.schema import QvFace
from quorvex.transform.affine import affine_transform

tensorrt = pytest.importorskip("tensorrt")

from support.engines import engine  # noqa: E402


def detector(model, **kwargs):
    return TrtFaceDetection(model_bytes=engine(model), **kwargs)


def smooth_frame(height, width):
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    frame = np.stack([0.5 + 0.4 * np.sin(x / 53.0), 0.5 + 0.4 * np.cos(y / 41.0), 0.5 + 0.3 * np.sin((x + y) / 67.0)], 2)
    return cp.asarray(frame.astype(np.float32))


@pytest.mark.parametrize(
    "outputs, fmc, strides, anchors, use_kps",
    [(6, 3, [8, 16, 32], 2, False), (9, 3, [8, 16, 32], 2, True),
     (10, 5, [8, 16, 32, 64, 128], 1, False), (15, 5, [8, 16, 32, 64, 128], 1, True)],
)
def test_output_count_selects_the_layout(outputs, fmc, strides, anchors, use_kps, capsys):
    det = detector(detector_model(outputs))
    assert (det.fmc, det._feat_stride_fpn, det._num_anchors, det.use_kps) == (fmc, strides, anchors, use_kps)
    assert capsys.readouterr().out.startswith("face detection engine loaded \u2714  tensors: ")
    assert list(vars(det)) == [
        "_lock", "device_id", "logger", "runtime", "engine", "ctx", "input_size", "center_cache", "nms_thresh", "det_thresh",
        "input_mean", "input_std", "stream", "d_inputs", "d_outputs", "input_tensor", "output_names", "use_kps",
        "_anchor_ratio", "_num_anchors", "fmc", "_feat_stride_fpn", "input_buffer", "output_buffer",
    ]
    assert det.input_tensor == "input.1" and len(det.output_names) == outputs


def test_an_unsupported_output_count_constructs_but_cannot_run():
    det = detector(detector_model(4))
    assert not hasattr(det, "fmc")
    with pytest.raises(ValueError, match="has 4 outputs; engines with 6, 9, 10 or 15 outputs are supported"):
        det.forward(cp.zeros((640, 640, 3), cp.float32), 0.5)


def test_input_size_follows_the_engine_and_blobs_match_it():
    det = detector(detector_model(9, height=480, width=640))
    assert det.input_size == (640, 480)
    blob = det.pre_process(cp.full((480, 640, 3), 0.5, cp.float32))
    assert blob.shape == tuple(det.d_inputs["input.1"].shape) == (1, 3, 480, 640)
    assert float(abs(blob).max()) == 0.0
    assert detector(detector_model(9, input_shape=[3, 640, 640])).input_size == (640, 640)


def test_model_path_wins_over_model_bytes(tmp_path):
    path = tmp_path / "det.engine"
    path.write_bytes(engine(detector_model(15)))
    det = TrtFaceDetection(str(path), b"not an engine")
    assert det.fmc == 5


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({}, ValueError, "model_bytes must be provided if model_path is not specified"),
        ({"model_path": pathlib.Path("x")}, TypeError,
         "Argument 'model_path' has incorrect type (expected str, got PosixPath)"),
        ({"model_bytes": bytearray(b"x")}, TypeError,
         "Argument 'model_bytes' has incorrect type (expected bytes, got bytearray)"),
        ({"model_bytes": b"x", "device_id": True}, TypeError,
         "Argument 'device_id' has incorrect type (expected int, got bool). "
         "Subclasses of built-in types are not accepted."),
        ({"model_bytes": b"garbage"}, RuntimeError, "could not deserialize"),
    ],
)
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as raised:
        TrtFaceDetection(**kwargs)
    assert message in str(raised.value)


def test_a_missing_model_file_raises_the_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        TrtFaceDetection(str(tmp_path / "missing.engine"))


FACES = [  # input pixels of a 640 x 640 network; frames are scaled into its top-left corner
    face_at(16, 8, 10, 0.95, 70, anchor=1, angle=0.2),
    face_at(32, 5, 14, 0.80, 120, angle=-0.1),
    face_at(8, 30, 30, 0.60, 40),
]


@pytest.mark.parametrize("height, width", [(1080, 1920), (1920, 1080), (700, 1800)])
def test_faces_map_back_to_frame_pixels_in_score_order(height, width):
    det = detector(detector_model(9, faces=FACES))
    frame = smooth_frame(height, width)
    # The longer side fills the network input; the other is truncated to whole pixels.
    new_height = 640 if height > width else int(640 * (height / width))
    scale = height / np.float32(new_height)
    faces = det.get(frame, crop_size=112)
    compared = 0
    assert all(isinstance(f, QvFace) for f in faces)
    assert [f.score for f in faces] == pytest.approx([0.95, 0.80, 0.60])
    for face, planted in zip(faces, sorted(FACES, key=lambda f: -f.score)):
        np.testing.assert_allclose(face.bbox.get(), np.array(planted.box) * scale, rtol=1e-4, atol=1e-2)
        np.testing.assert_allclose(face.kps.get(), planted.kps * scale, rtol=1e-4, atol=1e-2)
        assert face.image.shape == (112, 112, 3) and face.matrix.shape == (2, 3)
        # The matrix takes the frame's landmarks onto the template of the crop ...
        kps = np.hstack([face.kps.get(), np.ones((5, 1))])
        np.testing.assert_allclose(kps @ face.matrix.get().T, TEMPLATE, atol=0.05)
        # ... and warping the frame with it reproduces the crop (made at twice the size, then halved).
        # Compared where the crop samples the frame well inside its borders.
        again = affine_transform(frame, face.matrix, (112, 112)).get()
        inverse = np.linalg.inv(np.vstack([face.matrix.get(), [0, 0, 1]]))
        ys, xs = np.mgrid[0:112, 0:112]
        sx, sy, _ = inverse @ np.stack([xs.ravel(), ys.ravel(), np.ones(xs.size)])
        inside = ((sx > 4) & (sx < width - 5) & (sy > 4) & (sy < height - 5)).reshape(112, 112)
        if inside.sum() > 1000:
            assert np.abs(again - face.image.get())[inside].max() < 0.02
            compared += 1
    assert compared >= 1


def test_faces_cut_by_the_top_left_edges_align_from_unclipped_landmarks_and_unalignable_ones_drop_out():
    cut = face_at(16, 10, 1, 0.85, 140, angle=0.1)  # the left eye and mouth corner lie left of the frame
    past = face_at(16, 1, 1, 0.9, 80)
    past.kps = past.kps - 60  # every landmark above and left of the frame
    point = face_at(32, 5, 14, 0.95, 100)
    point.kps = np.full((5, 2), 300.0)  # all landmarks at one point: no alignment exists
    normal = face_at(16, 30, 25, 0.7, 80)
    assert (cut.kps[:, 0] < 0).sum() == 2 and (past.kps < 0).all()
    det = detector(detector_model(9, faces=[cut, past, point, normal]))
    faces = det.get(smooth_frame(640, 640), crop_size=112)
    assert [f.score for f in faces] == pytest.approx([0.9, 0.85, 0.7])
    for face, planted in zip(faces, [past, cut, normal]):
        np.testing.assert_allclose(face.kps.get(), np.maximum(planted.kps, 0), atol=1e-3)
        kps = np.hstack([planted.kps, np.ones((5, 1))])
        np.testing.assert_allclose(kps @ face.matrix.get().T, TEMPLATE, atol=0.05)
    # detect() gives the same faces unclipped (the unalignable one too), align() the same records.
    rows = det.detect(smooth_frame(640, 640))
    np.testing.assert_allclose(rows[:, 5:].reshape(-1, 5, 2), [p.kps for p in (point, past, cut, normal)], atol=1e-3)
    for again, face in zip(det.align(smooth_frame(640, 640), rows, 112), faces, strict=True):
        for name in ("bbox", "kps", "matrix", "image"):
            np.testing.assert_array_equal(getattr(again, name).get(), getattr(face, name).get())


@pytest.mark.parametrize("size, scale, angle", [(112, 1.0, 0.0), (128, 0.8, -0.2), (96, 1.3, 0.3)])
def test_a_crop_pasted_back_unchanged_gives_the_frame_up_to_resampling(size, scale, angle):
    # On a sharp frame any offset between the matrix and the crop adds to the round trip's error,
    # so the matrix as given must beat it moved by a quarter crop pixel either way.
    frame = cv2.GaussianBlur(np.random.default_rng(0).random((300, 400, 3)).astype(np.float32), (0, 0), 1.5)
    c, s = np.cos(angle), np.sin(angle)
    unit = ((TEMPLATE + 0.5) * size / 112 - 0.5 - size / 2) / scale
    kps = np.stack([200 + c * unit[:, 0] - s * unit[:, 1], 150 + s * unit[:, 0] + c * unit[:, 1]], 1)
    crop, matrix = detector(detector_model(9)).crop(cp.asarray(frame), kps.astype(np.float32), size)
    M = matrix.get().astype(np.float64)
    ys, xs = np.mgrid[0:300, 0:400]
    u, v = (M @ np.stack([xs.ravel(), ys.ravel(), np.ones(xs.size)])).reshape(2, 300, 400)
    inside = (u > 3) & (u < size - 4) & (v > 3) & (v < size - 4)
    errors = {}
    for shift in [(0, 0), (0.25, 0.25), (-0.25, -0.25), (0.25, -0.25), (-0.25, 0.25)]:
        moved = cp.asarray((M + [[0, 0, shift[0]], [0, 0, shift[1]]]).astype(np.float32))
        errors[shift] = np.abs(paste_back(cp.asarray(frame), crop, moved).get() - frame)[inside].mean()
    assert errors[(0, 0)] < 0.8 * min(e for shift, e in errors.items() if shift != (0, 0))


def test_frames_fill_the_input_from_the_top_left():
    det = detector(detector_model(9))
    one, zero = (1 - 0.5) / det.input_std, (0 - 0.5) / det.input_std  # as the staged blob holds them

    def staged():
        cp.cuda.runtime.deviceSynchronize()
        return det.d_inputs["input.1"].get()[0]

    det.get(cp.ones((1080, 1920, 3), cp.float32))
    np.testing.assert_allclose(staged()[:, :360], one, rtol=1e-6)
    np.testing.assert_allclose(staged()[:, 360:], zero, rtol=1e-6)
    det.get(cp.ones((1920, 1080, 3), cp.float32))
    np.testing.assert_allclose(staged()[:, :, :360], one, rtol=1e-6)
    np.testing.assert_allclose(staged()[:, :, 360:], zero, rtol=1e-6)


def test_overlap_of_exactly_the_threshold_survives_and_above_it_goes():
    det = detector(detector_model(9))
    # Inclusive-pixel areas 70 each; an overlap of 40 pixels is 40 / 100 = 0.4 exactly.
    at_threshold = cp.asarray(np.array([[0, 0, 6, 9, 0.9], [3, 0, 9, 9, 0.8]], np.float32))
    assert det.nms(at_threshold) == [0, 1]
    above = cp.asarray(np.array([[0, 0, 6, 9, 0.8], [2, 0, 8, 9, 0.9], [50, 50, 60, 60, 0.7]], np.float32))
    assert det.nms(above) == [1, 2]


def test_suppression_in_get_keeps_the_better_of_two_overlapping_faces():
    twin = face_at(16, 8, 11, 0.90, 70)  # one cell to the right of the first face: heavy overlap
    det = detector(detector_model(9, faces=[FACES[0], twin]))
    faces = det.get(smooth_frame(640, 640), crop_size=64)
    assert [f.score for f in faces] == pytest.approx([0.95])


def test_max_num_and_metric_choose_faces():
    big_off_centre = face_at(32, 2, 2, 0.9, 200)
    small_central = face_at(16, 20, 20, 0.95, 60)
    det = detector(detector_model(9, faces=[big_off_centre, small_central]))
    frame = smooth_frame(640, 640)
    assert len(det.get(frame, 64, 0)) == 2
    (largest,) = det.get(frame, 64, 1, "max")
    assert largest.score == pytest.approx(0.9)
    # The default metric takes area minus twice the squared distance from the centre: 3600 for the
    # central face against 40000 - 2 * 131072 for the large one in the corner.
    (central,) = det.get(frame, 64, 1)
    assert central.score == pytest.approx(0.95)


def test_get_checks_its_argument_types():
    det = detector(detector_model(9))
    frame = cp.zeros((64, 64, 3), cp.float32)
    with pytest.raises(TypeError, match="Argument 'crop_size' has incorrect type \\(expected int, got float\\)"):
        det.get(frame, 112.0)
    with pytest.raises(TypeError, match="Argument 'max_num' has incorrect type \\(expected int, got NoneType\\)"):
        det.get(frame, 112, None)
    with pytest.raises(TypeError, match="Argument 'metric' has incorrect type \\(expected str, got int\\)"):
        det.get(frame, 112, 0, 1)


def test_no_candidates_or_no_landmarks_give_no_faces():
    assert detector(detector_model(9)).get(smooth_frame(100, 100)) == []
    assert detector(detector_model(6, faces=[face_at(16, 8, 10, 0.9, 70)])).get(smooth_frame(100, 100)) == []


def test_landmarks_never_go_negative():
    det = detector(detector_model(9))
    points = cp.asarray(np.array([[4.0, 4.0]], np.float32))
    distance = cp.asarray(np.array([[-10, 2, 3, -9, 0, 0, -4.5, 1, 100, 100]], np.float32))
    kps = det.distance2kps(points, distance).get()
    np.testing.assert_array_equal(kps, [[0, 6, 7, 0, 4, 4, 0, 5, 104, 104]])
    bounded = det.distance2kps(points, distance, (50, 60)).get()
    np.testing.assert_array_equal(bounded, [[0, 6, 7, 0, 4, 4, 0, 5, 60, 50]])
    boxes = det.distance2bbox(points, cp.asarray(np.array([[10, 1, 100, 2]], np.float32)), (50, 60)).get()
    np.testing.assert_array_equal(boxes, [[0, 3, 60, 6]])


def test_anchor_centres_are_cached_up_to_a_hundred_sizes():
    det = detector(detector_model(9))
    frame = cp.zeros((640, 640, 3), cp.float32)
    det.forward(frame, 0.5)
    cached = {k: v for k, v in det.center_cache.items()}
    assert sorted(cached) == [(20, 20, 32), (40, 40, 16), (80, 80, 8)]
    det.forward(frame, 0.5)
    det.forward(frame, 0.5)
    assert all(det.center_cache[k] is v for k, v in cached.items())
    centres = cached[(40, 40, 16)].get()
    assert centres.shape == (40 * 40 * 2, 2)
    np.testing.assert_array_equal(centres[:4], [[0, 0], [0, 0], [16, 0], [16, 0]])
    np.testing.assert_array_equal(centres[80], [0, 16])
    det.center_cache.clear()
    det.center_cache.update({("filler", i): None for i in range(100)})
    det.forward(frame, 0.5)
    assert len(det.center_cache) == 100
