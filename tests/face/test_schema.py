import cupy as cp
import numpy as np
import pydantic
import pytest

from quorvex.face.schema import QvFace

BBOX = cp.asarray(np.array([1, 2, 3, 4], np.float32))


def test_fields_in_order_with_descriptions():
    fields = QvFace.model_fields
    assert list(fields) == ["bbox", "score", "kps", "matrix", "embedding", "normed_embedding", "image"]
    assert fields["bbox"].description == "Bounding box in the format (x1, y1, x2, y2)"
    assert fields["normed_embedding"].description == "Normalized face embedding"
    assert [f.is_required() for f in fields.values()] == [True, True] + [False] * 5
    assert issubclass(QvFace, pydantic.BaseModel) and QvFace.model_config["arbitrary_types_allowed"]


@pytest.mark.parametrize("missing", ["bbox", "score"])
def test_required_fields(missing):
    values = {"bbox": BBOX, "score": 0.9}
    del values[missing]
    with pytest.raises(pydantic.ValidationError):
        QvFace(**values)


def test_optional_fields_default_to_none_and_arrays_are_kept_as_given():
    face = QvFace(bbox=BBOX, score=0.5)
    assert face.bbox is BBOX
    assert all(getattr(face, name) is None for name in ["kps", "matrix", "embedding", "normed_embedding", "image"])
    face.embedding = cp.ones(512, cp.float32)
    assert face.embedding.shape == (512,)


@pytest.mark.parametrize("score", [np.float32(0.75), cp.asarray(np.float32(0.75)), 0.75, 3 / 4])
def test_score_is_a_python_float_whatever_the_detector_passes(score):
    face = QvFace(bbox=BBOX, score=score)
    assert type(face.score) is float and face.score == 0.75


def test_non_numeric_score_is_refused():
    with pytest.raises(pydantic.ValidationError):
        QvFace(bbox=BBOX, score="high")
