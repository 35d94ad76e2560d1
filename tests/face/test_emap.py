import os

import cupy as cp
import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

from quorvex.face.emap import emap_path, extract_emap, load_emap


def swap_like_model(emap):
    """A graph shaped like an identity-swap network: the embedding map is its last initializer."""
    weight = numpy_helper.from_array(np.ones((4, 4), np.float32), "weight")
    last = numpy_helper.from_array(emap, "emap")
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["latent", "emap"], ["projected"])],
        "swap",
        [helper.make_tensor_value_info("latent", TensorProto.FLOAT, [1, emap.shape[0]])],
        [helper.make_tensor_value_info("projected", TensorProto.FLOAT, [1, emap.shape[1]])],
        initializer=[weight, last],
    )
    return helper.make_model(graph)


@pytest.fixture
def cache(tmp_path, monkeypatch):
    monkeypatch.delenv("QUORVEX_EMAP", raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return tmp_path


def test_missing_map_names_the_variable_and_the_helper(cache):
    with pytest.raises(FileNotFoundError) as error:
        load_emap()
    assert "QUORVEX_EMAP" in str(error.value) and "extract_emap" in str(error.value)
    assert error.value.filename == str(cache / "cache" / "quorvex" / "emap.npy")


@pytest.mark.parametrize("as_bytes", [False, True])
def test_extracted_map_is_found_by_load(cache, as_bytes):
    emap = np.random.default_rng(0).random((6, 6)).astype(np.float32)
    model = swap_like_model(emap)
    path = cache / "swap.onnx"
    onnx.save(model, path)
    written = extract_emap(path.read_bytes() if as_bytes else str(path))
    assert written == emap_path() == str(cache / "cache" / "quorvex" / "emap.npy")
    loaded = load_emap()
    assert isinstance(loaded, cp.ndarray) and loaded.dtype == cp.float32
    np.testing.assert_array_equal(loaded.get(), emap)


def test_variable_points_at_the_file(cache, monkeypatch):
    emap = np.eye(3, dtype=np.float64) * 2
    target = cache / "elsewhere" / "map.npy"
    target.parent.mkdir()
    (cache / "outside").write_bytes(b"keep")
    for planted in (target, target.with_name(f"map.npy.{os.getpid()}.tmp.npy")):  # links are replaced, not followed
        planted.symlink_to(cache / "outside")
    extract_emap(swap_like_model(emap), target)
    assert (cache / "outside").read_bytes() == b"keep" and not target.is_symlink()
    monkeypatch.setenv("QUORVEX_EMAP", str(target))
    np.testing.assert_array_equal(load_emap().get(), emap.astype(np.float32))


def test_refuses_matrices_that_are_not_square(cache, monkeypatch):
    with pytest.raises(ValueError, match="not a square float matrix"):
        extract_emap(swap_like_model(np.ones((3, 4), np.float32)))
    bad = cache / "bad.npy"
    np.save(bad, np.ones((2, 3), np.float32))
    monkeypatch.setenv("QUORVEX_EMAP", str(bad))
    with pytest.raises(ValueError, match="not a square float matrix"):
        load_emap()
