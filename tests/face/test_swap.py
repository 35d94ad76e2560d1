import pathlib
import warnings

import cupy as cp
import cv2
import numpy as np
import onnxruntime
import pytest
from support.identity_models import embedding_map, embedding_model, face_crop, swap_model, swap_reference

import quorvex.face.embedding
import quorvex.face.swap
import standin
from quorvex.face.embedding import FaceEmbedding
from quorvex.face.schema import QvFace
from quorvex.face.swap import FaceSwap

TRT_OPTIONS = [("trt_max_workspace_size", 2147483648), ("trt_fp16_enable", False), ("trt_engine_cache_enable", True),
               ("trt_engine_cache_path", "models/trt_engine_cache"), ("trt_timing_cache_enable", True),
               ("trt_sparsity_enable", True)]
# Both ONNX Runtime classes build their sessions alike; each with a model it accepts.
SESSIONS = [(FaceSwap, swap_model), (FaceEmbedding, embedding_model)]


@pytest.fixture(autouse=True)
def emap(tmp_path, monkeypatch):
    matrix = embedding_map()
    np.save(tmp_path / "emap.npy", matrix)
    monkeypatch.setenv("QUORVEX_EMAP", str(tmp_path / "emap.npy"))
    return matrix


def swapper(probe=False):
    return FaceSwap(model_bytes=swap_model(probe).SerializeToString(), device="cpu")


def faces(height, width, seed=0):
    embedding = np.random.default_rng(seed).standard_normal(512).astype(np.float32)
    target = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9, image=cp.asarray(face_crop(height, width, seed)))
    source = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9,
                    normed_embedding=cp.asarray(embedding / np.linalg.norm(embedding)))
    return target, source


def cv_resize(image, width, height):  # resize's automatic choice: area unless an axis grows
    grows = width > image.shape[1] or height > image.shape[0]
    return cv2.resize(image, (width, height), interpolation=cv2.INTER_LINEAR if grows else cv2.INTER_AREA)


def test_attributes_in_order(emap):
    swap = swapper()
    assert list(vars(swap)) == ["session", "emap", "input_mean", "input_std", "input_names", "output_names",
                                "input_shape", "input_size"]
    assert (swap.input_mean, swap.input_std, swap.input_names, swap.output_names) == (0.0, 1.0, ["target", "source"],
                                                                                      ["output"])
    assert (swap.input_shape, swap.input_size) == ([1, 3, 128, 128], (128, 128))
    np.testing.assert_array_equal(swap.emap.get(), emap)


@pytest.mark.parametrize("height, width", [(200, 160), (128, 128), (64, 96)])
def test_get_swaps_at_128_and_returns_the_crop_size_clipped(emap, height, width):
    target, source = faces(height, width)
    out = swapper().get(target, source)
    assert isinstance(out, cp.ndarray) and out.shape == (height, width, 3) and out.dtype == np.float32
    rgb = cv_resize(np.ascontiguousarray(target.image.get()[..., ::-1]), 128, 128)
    latent = source.normed_embedding.get()[None] @ emap
    raw = swap_reference(rgb.transpose(2, 0, 1)[None], latent / np.linalg.norm(latent))
    assert raw.min() < 0 and raw.max() > 1  # the clip matters
    bgr = np.ascontiguousarray(np.clip(raw, 0, 1)[0].transpose(1, 2, 0)[..., ::-1])
    expected = cv_resize(bgr, width, height)
    assert 0 <= out.min() and out.max() <= 1
    np.testing.assert_allclose(out.get(), expected, atol=1e-4)


def test_the_latent_fed_has_unit_norm(emap):
    target, source = faces(200, 160)
    assert abs(np.linalg.norm(source.normed_embedding.get() @ emap) - 1) > 0.5  # the map changes the length
    # The probe network outputs a quarter of the squared latent norm.
    np.testing.assert_allclose(swapper(probe=True).get(target, source).get(), 0.25, atol=1e-5)


@pytest.mark.parametrize("crop_type, embedding_type", [(np.uint8, np.float64), (np.uint16, np.float16),
                                                       (np.float64, np.float32)])
def test_get_converts_crops_and_embeddings_at_entry(crop_type, embedding_type):
    target, source = faces(96, 112)
    scale = np.iinfo(crop_type).max if np.issubdtype(crop_type, np.integer) else 1
    crop = np.round(target.image.get() * scale).astype(crop_type)
    target.image = cp.asarray((crop / scale).astype(np.float32))
    expected = swapper().get(target, source).get()
    target.image = cp.asarray(crop)
    source.normed_embedding = cp.asarray(source.normed_embedding.get().astype(embedding_type))
    out = swapper().get(target, source)
    assert out.dtype == np.float32
    np.testing.assert_allclose(out.get(), expected, atol=2e-3 if embedding_type == np.float16 else 1e-5)


@pytest.mark.parametrize("value", [0.0, np.nan])
def test_a_source_identity_without_a_direction_is_refused(value):
    target, source = faces(128, 128)
    source.normed_embedding = cp.full(512, value, cp.float32)
    with pytest.raises(ValueError) as error:
        swapper().get(target, source)
    assert str(error.value) == ("FaceSwap.get() takes a source face whose normed_embedding has a direction; "
                                f"through the embedding map it has norm {value!r}")


@pytest.mark.parametrize("missing", ["image", "normed_embedding"])
def test_get_asserts_its_inputs(missing):
    target, source = faces(128, 128)
    setattr(target if missing == "image" else source, missing, None)
    with pytest.raises(AssertionError) as error:
        swapper().get(target, source)
    assert str(error.value) == ""


def test_forward_runs_the_network_on_host_arrays():
    img, latent = np.random.default_rng(5).random((1, 3, 128, 128), np.float32), np.ones((1, 512), np.float32)
    pred = swapper().forward(img, latent)
    assert type(pred) is np.ndarray
    np.testing.assert_allclose(pred, swap_reference(img, latent), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("module", [quorvex.face.swap, quorvex.face.embedding])
@pytest.mark.parametrize(
    "device, providers, options",
    [
        ("cuda:1", ["CUDAExecutionProvider"], [{"device_id": "1"}]),
        ("gpu/cuda:0:3", ["CUDAExecutionProvider"], [{"device_id": "3"}]),
        ("cuda", ["CUDAExecutionProvider"], [{}]),
        ("trt", ["TensorrtExecutionProvider"], [dict(TRT_OPTIONS)]),
        ("cpu", ["CPUExecutionProvider"], [{}]),
        ("CUDA", ["CPUExecutionProvider"], [{}]),
        ("trt:0", ["CPUExecutionProvider"], [{}]),
    ],
)
def test_device_strings_select_one_provider(module, device, providers, options):
    arguments = module.session_arguments(device)
    assert list(arguments) == ["session_options", "providers", "provider_options"]
    assert (arguments["providers"], arguments["provider_options"]) == (providers, options)
    if device == "trt":
        assert list(arguments["provider_options"][0].items()) == TRT_OPTIONS
    options = arguments["session_options"]
    assert (options.log_severity_level, options.log_verbosity_level) == (4, 4)


@pytest.mark.parametrize("cls, model", SESSIONS)
@pytest.mark.parametrize("device, provider", [("cuda:1", "CUDAExecutionProvider"), ("cuda", "CUDAExecutionProvider"),
                                              ("trt", "TensorrtExecutionProvider"), ("cpu", None)])
def test_sessions_are_asked_for_the_selected_provider(cls, model, device, provider, tmp_path, monkeypatch):
    if provider in onnxruntime.get_available_providers():
        pytest.skip(f"{provider} is available here, so ONNX Runtime does not name it")
    monkeypatch.chdir(tmp_path)
    with warnings.catch_warnings(record=True) as caught:  # this runtime lacks the GPU providers: it says so
        warnings.simplefilter("always")
        cls(model_bytes=model().SerializeToString(), device=device)
    named = [str(w.message).split("'")[1] for w in caught if "is not in available provider names" in str(w.message)]
    assert named == ([provider] if provider else [])
    assert (tmp_path / "models" / "trt_engine_cache").is_dir() == (device == "trt")


@pytest.mark.parametrize("cls, model", SESSIONS)
def test_an_uncreatable_engine_cache_folder_is_named(cls, model, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "models").write_text("a file in the way")
    with pytest.raises(OSError) as error:
        cls(model_bytes=model().SerializeToString(), device="trt")
    assert error.value.filename == "models/trt_engine_cache"
    assert error.value.strerror.startswith("Cannot create the TensorRT engine cache folder")


@pytest.mark.parametrize("cls, model", SESSIONS + [("GFPGAN", swap_model)])
def test_the_session_options_reach_the_session(cls, model):
    data = model().SerializeToString()
    if cls == "GFPGAN":  # the command hands session_arguments on to the enhancer
        from quorvex.face.enhancer import GFPGAN

        session = GFPGAN(data, **quorvex.face.swap.session_arguments("cpu")).session
    else:
        session = cls(model_bytes=data, device="cpu").session
    options = session.get_session_options()
    assert (options.log_severity_level, options.log_verbosity_level) == (4, 4)


@pytest.mark.parametrize("cls, model", SESSIONS)
def test_model_bytes_win_over_model_path(cls, model, tmp_path):
    data = model().SerializeToString()
    assert cls(model_path=str(tmp_path / "missing.onnx"), model_bytes=data, device="cpu").session
    (tmp_path / "model.onnx").write_bytes(data)
    assert cls(model_path=str(tmp_path / "model.onnx"), device="cpu").session


@pytest.mark.parametrize("cls", [FaceSwap, FaceEmbedding])
@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({}, ValueError, "model or model_path is required"),
        ({"model_path": pathlib.Path("x")}, TypeError,
         "Argument 'model_path' has incorrect type (expected str, got PosixPath)"),
        ({"model_bytes": bytearray(b"x")}, TypeError,
         "Argument 'model_bytes' has incorrect type (expected bytes, got bytearray)"),
        ({"model_bytes": b"x", "device": None}, TypeError,
         "Argument 'device' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_construction_errors(cls, kwargs, error, message):
    with pytest.raises(error) as raised:
        cls(**kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("cls", [FaceSwap, FaceEmbedding])
def test_models_with_other_than_one_output_fail_a_bare_assertion(cls):
    with pytest.raises(AssertionError) as error:
        cls(model_bytes=embedding_model(outputs=2).SerializeToString(), device="cpu")
    assert str(error.value) == ""


@pytest.mark.parametrize("cls", [FaceSwap, FaceEmbedding])
def test_runtime_errors_pass_unchanged(cls):
    with pytest.raises(Exception) as theirs:
        onnxruntime.InferenceSession(b"garbage", providers=["CPUExecutionProvider"])
    with pytest.raises(Exception) as ours:
        cls(model_bytes=b"garbage", device="cpu")
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))


def test_a_missing_embedding_map_fails_construction(monkeypatch, tmp_path):
    monkeypatch.setenv("QUORVEX_EMAP", str(tmp_path / "absent.npy"))
    with pytest.raises(FileNotFoundError, match="QUORVEX_EMAP"):
        swapper()


@pytest.mark.parametrize("where", ["beside", "../weights.bin", "absolute", "link out"])
def test_side_files_are_read_only_from_the_models_folder(where, tmp_path, monkeypatch):
    import onnx

    from quorvex.face.enhancer import GFPGAN
    from quorvex.upscale.convert import onnx_to_trt

    folder, outside = tmp_path / "models", tmp_path / "weights.bin"
    folder.mkdir()
    path = folder / "swap.onnx"
    onnx.save(swap_model(), path, save_as_external_data=True, location="weights.bin", size_threshold=1024)
    if where != "beside":
        (folder / "weights.bin").rename(outside)
        if where == "link out":
            (folder / "weights.bin").symlink_to(outside)
        model = onnx.load(path, load_external_data=False)
        for tensor in model.graph.initializer:
            for entry in tensor.external_data:
                if entry.key == "location" and where != "link out":
                    entry.value = str(outside) if where == "absolute" else where
        path.write_bytes(model.SerializeToString())
    monkeypatch.chdir(folder)  # where a runtime fed bytes looks
    entries = [lambda: FaceSwap(model_path=str(path), device="cpu"),
               lambda: FaceSwap(model_bytes=path.read_bytes(), device="cpu"),
               lambda: GFPGAN(str(path), **quorvex.face.swap.session_arguments("cpu")),
               lambda: onnx_to_trt(str(path), str(tmp_path / "swap.engine"))]
    for entry in entries:
        if where == "beside":
            assert entry() is None or entry().session
        else:
            # (the engine builder wraps its errors in RuntimeError)
            with pytest.raises((ValueError, RuntimeError), match="which is not a file inside"):
                entry()
    assert (tmp_path / "swap.engine").exists() == (where == "beside")
    if where == "beside":  # the weights found beside a model given by path are its own
        img, latent = np.random.default_rng(5).random((1, 3, 128, 128), np.float32), np.ones((1, 512), np.float32)
        forward = FaceSwap(model_path=str(path), device="cpu").forward(img, latent)
        np.testing.assert_allclose(forward, swap_reference(img, latent), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("provider", ["CPU", "CUDA", "TensorRT"])
@pytest.mark.parametrize("batch", [1, "N"])
def test_faces_in_one_batch_match_one_by_one(provider, batch, monkeypatch, tmp_path):
    """get_many (and the enhancer's), through host arrays or bound device buffers, with a fixed or
    a dynamic batch: exactly the per-face results."""
    from support.restore_models import restorer

    from quorvex.face.enhancer import GFPGAN

    targets, source = [faces(96, 80, seed)[0] for seed in range(3)], faces(96, 80)[1]
    swap, enhance = swapper(), GFPGAN(restorer(0.5), providers=["CPUExecutionProvider"])
    expected = [swap.get(target, source) for target in targets]
    restored = [enhance.get(crop).get() for crop in expected]
    if provider != "CPU":
        if not standin.installed():
            pytest.skip("the GPU providers are stood in for on the CPU")
        from standin._onnxruntime import gpu_providers

        gpu_providers(monkeypatch)
        monkeypatch.chdir(tmp_path)  # the TensorRT provider's engine cache folder
    device = {"CPU": "cpu", "CUDA": "cuda", "TensorRT": "trt"}[provider]
    swap = FaceSwap(model_bytes=swap_model(batch=batch).SerializeToString(), device=device)
    enhance = GFPGAN(restorer(0.5), **quorvex.face.swap.session_arguments(device))
    assert hasattr(swap.session, "_quorvex_compute_stream") == hasattr(enhance.session, "_quorvex_compute_stream") \
        == (provider != "CPU")
    out = swap.get_many(targets, swap.latent(source))
    np.testing.assert_array_equal(out.get(), np.stack([crop.get() for crop in expected]))
    np.testing.assert_array_equal(enhance.get_many(out).get(), np.stack(restored))


@pytest.mark.parametrize("shape", [(2, 3, 4, 4), (2, 3, 5, 7)])  # planes of whole quads (wide accesses) and not
@pytest.mark.parametrize("kernel, low", [("swap_output_kernel", 0.0), ("restore_kernel", -1.0)])
def test_planar_outputs_become_bgr_crops_in_wide_and_scalar_accesses(kernel, low, shape):
    import quorvex.face.enhancer

    planes = np.random.default_rng(3).uniform(-1.5, 1.5, shape).astype(np.float32)
    launch = getattr(quorvex.face.swap if kernel.startswith("swap") else quorvex.face.enhancer, kernel)
    n, _, h, w = shape
    for wide in {0, int(h * w % 4 == 0)}:
        out = cp.empty((n, h, w, 3), cp.float32)
        launch((((h * w + 3) // 4 + 255) // 256, 1, n), (256,), (cp.asarray(planes), out, np.int32(h * w), np.int32(wide)))
        bgr = np.clip(planes[:, ::-1].transpose(0, 2, 3, 1), low, 1.0)
        np.testing.assert_array_equal(out.get(), bgr if low == 0.0 else bgr / 2 + 0.5)
