"""Detector, embedder and paster objects shared by threads give what one thread gets."""

import concurrent.futures

import cupy as cp
import numpy as np
import pytest
from support.detector_models import detector_model, face_at
from support.identity_models import embedding_model

from quorvex.face.detector import TrtFaceDetection
from quorvex.face.paste import PasteBack

tensorrt = pytest.importorskip("tensorrt")

from support.engines import engine  # noqa: E402

from quorvex.face.recognizer import TrtFaceEmbedding  # noqa: E402

FACES = [face_at(16, 8, 10, 0.95, 70), face_at(32, 5, 14, 0.80, 120)]


def test_shared_objects_give_the_sequential_results_in_four_threads():
    rng = np.random.default_rng(1)
    detector = TrtFaceDetection(model_bytes=engine(detector_model(9, faces=FACES, gated=True)))
    embedder = TrtFaceEmbedding(model_bytes=engine(embedding_model()))
    paster = PasteBack()
    frames = [cp.zeros((240, 320, 3), cp.float32), cp.asarray(rng.random((240, 320, 3), dtype=np.float32))]
    batches = [cp.asarray(rng.random((1, 3, 112, 112), dtype=np.float32)) for _ in range(3)]
    crops = [cp.asarray(rng.random((side, side, 3), dtype=np.float32)) for side in (64, 128)]
    matrix = cp.asarray(np.array([[0.5, 0, -20], [0, 0.5, -10]], np.float32))

    def job(i):
        # A black frame has no faces and a bright one has two; crops of two sizes need two masks.
        faces = detector.get(frames[i % 2], crop_size=112)
        embedding = embedder.forward(batches[i % 3])
        pasted = paster.get(frames[1], crops[(i // 2) % 2], matrix)
        return [len(faces)] + [f.bbox.get() for f in faces] + [embedding.get(), pasted.get()]

    sequential = [job(i) for i in range(24)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(job, range(24)))
    assert [r[0] for r in sequential] == [0, 2] * 12
    for one, many in zip(sequential, threaded):
        assert len(one) == len(many)
        for a, b in zip(one, many):
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("size", [64, 96])
def test_a_mask_built_on_one_stream_is_waited_for_on_another(size):
    # A size the object has not used: its buffers hold nothing an early read could pass for the mask.
    rng = np.random.default_rng(size)
    frame = cp.asarray(rng.random((240, 320, 3), dtype=np.float32))
    crop = cp.asarray(rng.random((size, size, 3), dtype=np.float32))
    matrix = cp.asarray(np.array([[0.5, 0, -20], [0, 0.5, -10]], np.float32))
    expected = PasteBack().get(frame, crop, matrix).get()
    paster, builder, user = PasteBack(), cp.cuda.Stream(non_blocking=True), cp.cuda.Stream(non_blocking=True)
    with builder:
        paster.get(frame, crop, matrix)  # builds the mask on its stream
    with user:
        pasted = paster.get(frame, crop, matrix)
    user.synchronize()
    np.testing.assert_array_equal(pasted.get(), expected)


def test_an_engine_run_waits_for_the_last_caller_s_reads_of_its_outputs():
    # The first caller's copy of the outputs is still queued on its stream when the second
    # caller's run is forced: the engine's stream must have waited for it.
    rng = np.random.default_rng(7)
    embedder = TrtFaceEmbedding(model_bytes=engine(embedding_model()))
    batches = [cp.asarray(rng.random((1, 3, 112, 112), dtype=np.float32)) for _ in range(2)]
    expected = [embedder.forward(b).get() for b in batches]
    first, second = cp.cuda.Stream(non_blocking=True), cp.cuda.Stream(non_blocking=True)
    with first:
        early = embedder.forward(batches[0])
    with second:
        late = embedder.forward(batches[1])
    np.testing.assert_array_equal(late.get(stream=second), expected[1])
    np.testing.assert_array_equal(early.get(stream=first), expected[0])
