import cupy as cp
import numpy as np
import pytest
from support.identity_models import embedding_model, embedding_reference, face_crop

from quorvex.face.embedding import FaceEmbedding
from quorvex.face.schema import QvFace


def embedder(model=None):
    return FaceEmbedding(model_bytes=(model or embedding_model()).SerializeToString(), device="cpu")


def test_attributes_in_order():
    emb = embedder()
    assert list(vars(emb)) == ["session", "input_mean", "input_std", "input_size", "input_shape", "input_name",
                               "output_names", "output_shape"]
    assert (emb.input_size, emb.input_shape, emb.input_name) == ((112, 112), [1, 3, 112, 112], "input.1")
    assert (emb.output_names, emb.output_shape) == (["embedding"], [1, 512])


@pytest.mark.parametrize(
    "lead, padding, mean, std",
    [
        (("Sub_0", "Mul_1"), 0, 0.0, 1.0),
        (("_minus0", "_mul1"), 0, 0.0, 1.0),
        (("Mul_a", "Sub_b"), 6, 0.0, 1.0),  # the seventh and eighth nodes still count
        (("Sub_0", "Mul_1"), 7, 0.5, 0.5),  # the multiplication is the ninth node
        (("Sub_0",), 0, 0.5, 0.5),
        (("Mul_0", "Mul_1"), 0, 0.5, 0.5),
        ((), 0, 0.5, 0.5),
    ],
)
def test_models_that_scale_their_input_get_it_in_0_to_1(lead, padding, mean, std):
    emb = embedder(embedding_model(lead, padding))
    assert (emb.input_mean, emb.input_std) == (mean, std)
    image = face_crop(112, 112)
    expected = embedding_reference(((image - mean) / std).transpose(2, 0, 1)[None], lead)
    out = emb.forward(cp.asarray(image))  # one array is a batch of one
    assert isinstance(out, cp.ndarray) and out.shape == (1, 512)
    np.testing.assert_allclose(out.get(), expected, rtol=1e-4, atol=1e-5)
    np.testing.assert_array_equal(emb.forward([cp.asarray(image)]).get(), out.get())


def test_non_square_inputs_are_packed_height_by_width():
    emb = embedder(embedding_model(height=96, width=80))
    assert emb.input_size == (80, 96)
    image = face_crop(96, 80)
    expected = embedding_reference(((image - 0.5) * 2).transpose(2, 0, 1)[None])
    np.testing.assert_allclose(emb.forward(cp.asarray(image)).get(), expected, rtol=1e-4, atol=1e-5)


def test_get_fills_a_unit_embedding_parallel_to_the_raw_one():
    crop = face_crop(112, 112, seed=3)
    face = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9, image=cp.asarray(crop))
    assert embedder().get(face) is face
    expected = embedding_reference(((crop[..., ::-1] - 0.5) * 2).transpose(2, 0, 1)[None]).ravel()
    embedding, normed = face.embedding.get(), face.normed_embedding.get()
    np.testing.assert_allclose(embedding, expected, rtol=1e-4, atol=1e-5)
    assert np.linalg.norm(normed) == pytest.approx(1.0, abs=1e-6)
    np.testing.assert_allclose(normed * np.linalg.norm(embedding), embedding, rtol=1e-5, atol=1e-6)
