import io
import os
import pickle

import cupy as cp
import cv2
import numpy as np
import pytest
import torch

spandrel = pytest.importorskip("spandrel")

from support.sr_models import checkpoint_bytes, compact, gfpgan, lama, restoreformer, save_checkpoint  # noqa: E402

from quorvex.color.bgr import bgr_to_rgb  # noqa: E402
from quorvex.upscale.core.torch import TorchUpscaler  # noqa: E402
from quorvex.utils.dlpack import to_cupy  # noqa: E402

rng = np.random.default_rng(3)


def bgr_image(height, width):
    return rng.random((height, width, 3), dtype=np.float32)


def run_network(network, image):
    """The network itself on the RGB tensor, output kept in 0..1, back to BGR."""
    with torch.no_grad():
        y = network.cpu()(torch.from_numpy(image[..., ::-1].copy()).permute(2, 0, 1)[None]).clamp(0, 1)
    return y[0].permute(1, 2, 0).numpy()[..., ::-1]


def raised(call):
    with pytest.raises(Exception) as caught:
        call()
    return caught.value


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    sr4, sr2 = compact(scale=4, seed=0), compact(scale=2, num_feat=6, seed=1)
    path = save_checkpoint(sr2, tmp_path_factory.mktemp("models") / "compact_x2.pth")
    return {"sr4": sr4, "sr2": sr2, "sr4_bytes": checkpoint_bytes(sr4), "sr2_path": str(path)}


@pytest.mark.parametrize("source", ["path", "bytes", "both"])
def test_loads_from_a_path_or_bytes_and_bytes_win(source, models):
    path, data = models["sr2_path"] if source != "bytes" else None, models["sr4_bytes"] if source != "path" else None
    upscaler, network = TorchUpscaler(path, data), models["sr2" if source == "path" else "sr4"]
    model = upscaler.model
    assert isinstance(model, spandrel.ImageModelDescriptor) and not model.model.training
    for name, value in network.state_dict().items():
        torch.testing.assert_close(model.model.state_dict()[name].cpu(), value, rtol=0, atol=0)
    assert (upscaler.scale, upscaler.purpose, upscaler.architecture.id) == (network.upscale, "SR", "Compact")
    assert upscaler.size_requirements == model.size_requirements and upscaler.tiling == model.tiling
    assert "CodeFormer" in spandrel.MAIN_REGISTRY  # the extra architectures are registered too


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        (dict(), ValueError("Model or model_path must be provided")),
        (dict(model_path="/nonexistent/model.pth"), lambda: torch.load("/nonexistent/model.pth", weights_only=True)),
        (dict(model_bytes=b"not a checkpoint"), lambda: torch.load(io.BytesIO(b"not a checkpoint"), weights_only=True)),
        (dict(model_bytes=checkpoint_bytes(torch.nn.Linear(2, 2))),
         lambda: spandrel.ModelLoader().load_from_state_dict(torch.nn.Linear(2, 2).state_dict())),
        (lambda: dict(model_bytes=checkpoint_bytes(lama())), AssertionError()),  # inpainting: a masked-image model
        (dict(model_bytes=checkpoint_bytes(compact()), device="cuda:x"), lambda: int("x")),
        (dict(model_path=b"model.pth"), TypeError("Argument 'model_path' has incorrect type (expected str, got bytes)")),
        (dict(model_bytes=bytearray(b"x")),
         TypeError("Argument 'model_bytes' has incorrect type (expected bytes, got bytearray)")),
        (dict(device=torch.device("cpu")), TypeError("Argument 'device' has incorrect type (expected str, got torch.device)")),
        (dict(model_bytes=b"", trust_model=1),
         TypeError("Argument 'trust_model' has incorrect type (expected bool, got int)")),
        (dict(device=StrSubclass("cpu")), TypeError(
            "Argument 'device' has incorrect type (expected str, got StrSubclass). Subclasses of built-in types are not accepted.")),
    ],
)
def test_construction_errors(kwargs, expected):
    kwargs = kwargs() if callable(kwargs) else kwargs
    error = raised(lambda: TorchUpscaler(**kwargs))
    if callable(expected):  # the library's own error, unchanged
        expected = raised(expected)
    assert type(error) is type(expected) and str(error) == str(expected)


class RunsCommand:
    """Unpickling this calls os.system: what a malicious checkpoint does."""

    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return os.system, (self.command,)


@pytest.mark.parametrize("source", ["path", "bytes"])
def test_checkpoints_run_no_code_unless_trusted(source, models, tmp_path):
    marker = tmp_path / "ran"
    checkpoint = {"params": models["sr2"].state_dict(), "note": RunsCommand(f"touch {marker}")}
    path = tmp_path / "evil.pth"
    torch.save(checkpoint, path)
    kwargs = dict(model_path=str(path)) if source == "path" else dict(model_bytes=path.read_bytes())
    error = raised(lambda: TorchUpscaler(**kwargs))
    what = f"checkpoint {path}" if source == "path" else "the checkpoint in model_bytes"
    assert type(error) is pickle.UnpicklingError and str(error) == (
        f"{what}: it refers to posix.system, which loading it in full would call, and a full load can run code from "
        "the file; pass trust_model=True only if you trust its source")
    assert error.untrusted_global == "posix.system" and not marker.exists()
    upscaler = TorchUpscaler(**kwargs, trust_model=True)
    assert marker.exists() and upscaler.scale == 2


@pytest.mark.parametrize("source", ["path", "bytes"])
def test_safetensors_checkpoints_load(source, models, tmp_path):
    from safetensors.torch import save_file

    path = tmp_path / "compact.safetensors"
    save_file(models["sr2"].state_dict(), str(path))
    kwargs = dict(model_path=str(path)) if source == "path" else dict(model_bytes=path.read_bytes())
    upscaler = TorchUpscaler(**kwargs)
    image = bgr_image(10, 7)
    np.testing.assert_allclose(upscaler.get(cp.asarray(image)).get(), run_network(models["sr2"], image), atol=1e-5)


@pytest.mark.parametrize("device, device_id", [("cuda", 0), ("cpu", 0), ("cuda:0", 0),
                                               pytest.param("cuda:1", 1, marks=pytest.mark.standin)])
def test_device_strings_give_the_device_and_its_ordinal(device, device_id, models):
    upscaler = TorchUpscaler(model_bytes=models["sr4_bytes"], device=device)
    assert upscaler.device == torch.device(device) and upscaler.device_id == device_id and type(device_id) is int
    if device_id == 0:  # the stand-in has one device to run on
        image = bgr_image(12, 9)
        np.testing.assert_allclose(upscaler.get(cp.asarray(image)).get(), run_network(models["sr4"], image), atol=1e-5)


@pytest.mark.parametrize("scale", [2, 4])
def test_super_resolution_keeps_the_aspect_and_matches_the_network(scale, models):
    upscaler = TorchUpscaler(model_bytes=models["sr4_bytes"]) if scale == 4 else TorchUpscaler(models["sr2_path"])
    image = bgr_image(300, 200)
    out = upscaler.get(cp.asarray(image))
    assert isinstance(out, cp.ndarray) and out.shape == (300 * scale, 200 * scale, 3) and out.dtype == cp.float32
    np.testing.assert_allclose(out.get(), run_network(models[f"sr{scale}"], image), rtol=1e-5, atol=1e-5)


def test_lists_are_answered_in_order_tuples_are_not_lists_and_steps_stand_alone(models):
    upscaler = TorchUpscaler(model_bytes=models["sr4_bytes"])
    images = [bgr_image(8, 12), bgr_image(10, 6), bgr_image(5, 5)]
    batch = type("ImageList", (list,), {})(map(cp.asarray, images))
    out = upscaler.get(batch)
    assert type(out) is list and len(out) == 3
    for result, image in zip(out, images):
        np.testing.assert_allclose(result.get(), run_network(models["sr4"], image), rtol=1e-5, atol=1e-5)
    pair = tuple(batch[:2])
    error, expected = raised(lambda: upscaler.get(pair)), raised(lambda: bgr_to_rgb(pair))
    assert type(error) is type(expected) and str(error) == str(expected)

    tensor = upscaler.pre_process(cp.asarray(images[0]))
    assert tuple(tensor.shape) == (1, 3, 8, 12) and tensor.dtype == torch.float32
    np.testing.assert_array_equal(tensor[0].permute(1, 2, 0).cpu().numpy(), images[0][..., ::-1])
    output = torch.arange(36, dtype=torch.float64).reshape(1, 3, 4, 3) - 10  # values and type are kept
    np.testing.assert_array_equal(upscaler.post_process(output).get(), output[0].permute(1, 2, 0).numpy()[..., ::-1])
    single = torch.zeros(1, 1, 4, 5)
    error, expected = raised(lambda: upscaler.post_process(single)), raised(lambda: to_cupy(single))
    assert type(error) is type(expected) and str(error) == str(expected)
    error = raised(lambda: upscaler.get())
    assert type(error) is TypeError and str(error) == "get() takes exactly 1 positional argument (0 given)"


@pytest.mark.parametrize("device", ["cuda", pytest.param("cuda:1", marks=pytest.mark.standin)])
def test_the_network_runs_without_gradients_inside_the_model_device(device, models, monkeypatch):
    upscaler = TorchUpscaler(model_bytes=models["sr4_bytes"], device=device)
    model, events = upscaler.model, []

    class Device:  # records the device scopes; the stand-in has only device 0 to switch to
        def __init__(self, device_id):
            self.id = device_id

        def __enter__(self):
            events.append(self.id)

        def __exit__(self, *exc):
            events.append("exit")

    def watched(tensor, fail=False):
        events.append(torch.is_grad_enabled())
        if fail:
            raise RuntimeError("network failed")
        return model(tensor)

    monkeypatch.setattr(cp.cuda, "Device", Device)
    upscaler.model = watched
    upscaler.get(cp.asarray(bgr_image(4, 4)))
    upscaler.model = lambda tensor: watched(tensor, fail=True)
    error = raised(lambda: upscaler.get(cp.asarray(bgr_image(4, 4))))
    assert type(error) is RuntimeError and str(error) == "network failed" and torch.is_grad_enabled()
    n = upscaler.device_id
    assert events == [n, n, "exit", False, n, "exit", "exit"] + [n, n, "exit", False, "exit"]


def test_face_models_run_at_their_minimum_square():
    network = gfpgan()
    upscaler = TorchUpscaler(model_bytes=checkpoint_bytes(network))  # spandrel's face model with a minimum: 512
    assert upscaler.purpose == "FaceSR" and upscaler.size_requirements.minimum == 512
    image = bgr_image(300, 200)
    tensor = upscaler.pre_process(cp.asarray(image))
    expected = cv2.resize(image, (512, 512), interpolation=cv2.INTER_LINEAR)[..., ::-1]  # enlarging: linear
    np.testing.assert_allclose(tensor[0].permute(1, 2, 0).cpu().numpy(), expected, atol=1e-5)
    square = bgr_image(512, 512)
    np.testing.assert_array_equal(upscaler.pre_process(cp.asarray(square))[0].permute(1, 2, 0).cpu().numpy(),
                                  square[..., ::-1])
    out = upscaler.get(cp.asarray(square)).get()
    # GFPGAN's own inference: RGB in -1..1, the image out of the tuple, clamped to -1..1 and back.
    with torch.no_grad():
        y = network(torch.from_numpy(square[..., ::-1].copy()).permute(2, 0, 1)[None] * 2 - 1)[0]
    expected = ((y.clamp(-1, 1) + 1) / 2)[0].permute(1, 2, 0).numpy()[..., ::-1]
    assert out.shape == (512, 512, 3) and out.dtype == np.float32 and (expected < 0.25).mean() > 0.05
    np.testing.assert_allclose(out, expected, atol=1e-5)


def test_face_models_without_a_minimum_keep_the_size():
    network = restoreformer()
    upscaler = TorchUpscaler(model_bytes=checkpoint_bytes(network))
    assert upscaler.purpose == "FaceSR" and upscaler.size_requirements.minimum == 0
    image = bgr_image(50, 70)
    # spandrel's own call on the same weights: normalisation, the image out of the network's
    # tuple, padding to a multiple of 32 and back.
    reference = spandrel.ModelLoader().load_from_state_dict(network.state_dict())
    with torch.no_grad():
        expected = reference(torch.from_numpy(image[..., ::-1].copy()).permute(2, 0, 1)[None])[0]
    out = upscaler.get(cp.asarray(image))
    assert out.shape == (50, 70, 3)
    np.testing.assert_allclose(out.get(), expected.permute(1, 2, 0).numpy()[..., ::-1], rtol=1e-5, atol=1e-5)
    batch = np.stack([image, bgr_image(50, 70)])  # get_many: one run for the batch, the same as a loop
    many = upscaler.get_many(cp.asarray(batch)).get()
    np.testing.assert_allclose(many, np.stack([upscaler.get(cp.asarray(x)).get() for x in batch]), atol=1e-5)
