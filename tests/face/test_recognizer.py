import pathlib

import cupy as cp
import numpy as np
import pytest
from support.identity_models import embedding_model, embedding_reference, face_crop

from quorvex.face.embedding import FaceEmbedding
from quorvex.face.recognizer import TrtFaceEmbedding
from quorvex.face.schema import QvFace

tensorrt = pytest.importorskip("tensorrt")

from support.engines import engine  # noqa: E402


def recognizer(model=None, profile=None, **kwargs):
    return TrtFaceEmbedding(model_bytes=engine(model or embedding_model(), profile), **kwargs)


def nchw(seed, shape=(1, 3, 112, 112)):
    return np.random.default_rng(seed).random(shape, dtype=np.float32)


def test_construction_prints_the_engine_and_its_input_and_keeps_attributes_in_order(capsys):
    rec = recognizer()
    assert capsys.readouterr().out.splitlines() == [
        f"face embedding engine loaded \u2714  tensors: {rec.engine}",
        "Input shape: [1, 3, 112, 112]", "Output shape: [1, 512]", "Input size: (112, 112)",
        "Normalization - mean: 0.5, std: 0.5",
    ]
    assert list(vars(rec)) == [
        "_lock", "device_id", "logger", "runtime", "engine", "ctx", "stream", "d_inputs", "d_outputs", "input_tensor",
        "output_tensor", "output_names", "input_shape", "output_shape", "input_size", "input_mean", "input_std",
        "input_buffer", "output_buffer",
    ]
    assert (rec.input_tensor, rec.output_tensor, rec.output_names) == ("input.1", "embedding", ["embedding"])


@pytest.mark.parametrize("height, width", [(96, 80), (112, 112)])
def test_input_size_is_width_height_and_blobs_take_the_engine_shape(height, width):
    rec = recognizer(embedding_model(height=height, width=width))
    assert rec.input_size == (width, height)
    image = face_crop(height, width)  # already at the input size: packing only scales
    expected = embedding_reference(((image - 0.5) * 2).transpose(2, 0, 1)[None])
    np.testing.assert_allclose(rec.get_feat(cp.asarray(image)).get(), expected, rtol=1e-4, atol=1e-5)


def test_an_input_of_fewer_than_four_dimensions_gives_112_by_112():
    from onnx import TensorProto, helper

    graph = helper.make_graph([helper.make_node("Identity", ["x"], ["y"])], "flat",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [3, 64, 64])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [3, 64, 64])])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8)
    assert recognizer(model).input_size == (112, 112)


@pytest.mark.parametrize("side, dtype", [(112, np.float32), (224, np.float32), (112, np.uint8)])
def test_get_fills_a_unit_embedding_parallel_to_the_raw_one(side, dtype):
    crop = face_crop(side, side)
    image = (crop * 255).round().astype(np.uint8) if dtype == np.uint8 else crop
    face = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9, image=cp.asarray(image))
    assert recognizer().get(face) is face
    rgb = (image[..., ::-1] / (255.0 if dtype == np.uint8 else 1.0)).astype(np.float32)
    rgb = rgb.reshape(112, side // 112, 112, side // 112, 3).mean(axis=(1, 3))  # area average to 112
    expected = embedding_reference(((rgb - 0.5) * 2).transpose(2, 0, 1)[None]).ravel()
    embedding, normed = face.embedding.get(), face.normed_embedding.get()
    np.testing.assert_allclose(embedding, expected, rtol=1e-3, atol=1e-4)
    assert np.linalg.norm(normed) == pytest.approx(1.0, abs=1e-6)
    np.testing.assert_allclose(normed * np.linalg.norm(embedding), embedding, rtol=1e-5, atol=1e-6)


def test_forward_takes_host_batches_and_returns_copies():
    rec = recognizer()
    first, second = nchw(1), nchw(2)
    on_device = rec.forward(cp.asarray(first))
    from_host = rec.forward(first)
    rec.forward(second)
    assert isinstance(from_host, cp.ndarray)
    np.testing.assert_array_equal(from_host.get(), on_device.get())
    np.testing.assert_allclose(on_device.get(), embedding_reference(first), rtol=1e-4, atol=1e-5)


PROFILE = {"input.1": ((1, 3, 112, 112), (2, 3, 112, 112), (4, 3, 112, 112))}


@pytest.mark.parametrize("batch, count", [(1, 1), (1, 2), ("N", 1), ("N", 3)])
def test_both_embedders_give_a_batch_the_same_answer_or_the_same_error(batch, count):
    model = embedding_model(batch=batch)
    by_engine = recognizer(model, profile=PROFILE if batch == "N" else None)
    by_onnx = FaceEmbedding(model_bytes=model.SerializeToString(), device="cpu")
    images = [face_crop(112, 112, seed) for seed in range(count)]
    outcomes = []
    for run in (by_engine.get_feat, by_onnx.forward):
        try:
            outcomes.append(run([cp.asarray(image) for image in images]).get())
        except ValueError as error:
            outcomes.append(str(error))
    if batch == 1 and count > 1:
        message = f"the face embedding network takes a batch of shape (1, 3, 112, 112), got ({count}, 3, 112, 112)"
        assert outcomes == [message, message]
        return
    expected = embedding_reference(np.stack([(image - 0.5) * 2 for image in images]).transpose(0, 3, 1, 2))
    for out in outcomes:
        np.testing.assert_allclose(out, expected, rtol=1e-4, atol=1e-5)


def test_batches_outside_the_engine_input_are_refused_and_others_set_its_shape():
    with pytest.raises(ValueError) as error:
        recognizer().forward(cp.zeros((1, 112, 112, 3), cp.float32))  # as many values, but NHWC
    assert str(error.value) == "the face embedding network takes a batch of shape (1, 3, 112, 112), got (1, 112, 112, 3)"
    rec = recognizer(embedding_model(batch="N"), profile=PROFILE)
    assert (rec.input_shape, rec.output_shape) == ([2, 3, 112, 112], [2, 512])  # the profile's optimum
    with pytest.raises(ValueError) as error:
        rec.forward(cp.zeros((5, 3, 112, 112), cp.float32))
    assert str(error.value) == "the face embedding network takes a batch of shape (1..4, 3, 112, 112), got (5, 3, 112, 112)"
    batch = nchw(3, (3, 3, 112, 112))
    out = rec.forward(cp.asarray(batch))
    bound = [rec.d_inputs["input.1"], rec.d_outputs["embedding"]]
    assert [b.shape for b in bound] == [(3, 3, 112, 112), (3, 512)]
    assert [rec.ctx.get_tensor_address(n) for n in ("input.1", "embedding")] == [b.data.ptr for b in bound]
    np.testing.assert_allclose(out.get(), embedding_reference(batch), rtol=1e-4, atol=1e-5)
    again = rec.forward(cp.asarray(batch[::-1].astype(np.float64)))  # same shape: converted into the same buffer
    assert rec.d_inputs["input.1"] is bound[0] and rec.d_outputs["embedding"] is bound[1]
    np.testing.assert_allclose(again.get(), embedding_reference(batch[::-1]), rtol=1e-4, atol=1e-5)


def test_get_feat_of_one_image_is_a_batch_of_one():
    rec = recognizer()
    image = cp.asarray(face_crop(112, 112))
    np.testing.assert_array_equal(rec.get_feat(image).get(), rec.get_feat([image]).get())


def test_model_path_wins_over_model_bytes(tmp_path):
    path = tmp_path / "embedding.engine"
    path.write_bytes(engine(embedding_model()))
    assert TrtFaceEmbedding(str(path), b"not an engine").output_shape == [1, 512]


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
        ({"model_bytes": b"garbage"}, RuntimeError,
         "TensorRT could not deserialize the face embedding engine (see its log)"),
    ],
)
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as raised:
        TrtFaceEmbedding(**kwargs)
    assert str(raised.value) == message


def test_a_missing_model_file_raises_the_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        TrtFaceEmbedding(str(tmp_path / "missing.engine"))


@pytest.mark.parametrize("by_engine", [True, False])
@pytest.mark.parametrize("gain", [0.0, 100.0])
def test_float16_embeddings_are_normed_in_float32_and_zero_ones_refused(by_engine, gain):
    model = embedding_model(gain=gain, half=True)  # a norm near 2000: its square overflows float16
    embedder = recognizer(model) if by_engine else FaceEmbedding(model_bytes=model.SerializeToString(), device="cpu")
    crop = face_crop(112, 112)
    face = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9, image=cp.asarray(crop))
    if gain == 0:
        with pytest.raises(ValueError) as error:
            embedder.get(face)
        assert str(error.value) == ("the face embedding network gave an embedding of norm 0.0, which has no "
                                    "direction to normalise")
        assert face.embedding is None and face.normed_embedding is None
        return
    embedder.get(face)
    assert face.embedding.dtype == np.float16 and face.normed_embedding.dtype == np.float32
    raw = embedding_reference(((crop[..., ::-1] - 0.5) * 2).transpose(2, 0, 1)[None]).ravel() * gain
    np.testing.assert_allclose(face.normed_embedding.get(), raw / np.linalg.norm(raw), atol=2e-4)
    assert np.linalg.norm(face.normed_embedding.get()) == pytest.approx(1.0, abs=1e-6)
