"""The examples (small programs on quorvex.pipeline) end to end on small test networks. Face swap:
detection, source embedding, swap into each target face, optional restoration and one batched
paste back. Upscale: tiling, checks and output depth, for any image size."""

import os
import pathlib
import runpy

import cupy as cp
import cv2
import numpy as np
import onnx
import pytest
import torch
from support.detector_models import detector_model, face_at
from support.identity_models import embedding_map, embedding_model, swap_model

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytest.importorskip("tensorrt")
from standin.tensorrt import engine_bytes  # noqa: E402

FACES = [face_at(16, 12, 12, 0.9, 70, angle=0.1), face_at(16, 14, 28, 0.8, 60)]  # network-input pixels


@pytest.fixture
def models(tmp_path, monkeypatch):
    paths = {"detector": tmp_path / "det.engine", "embedder": tmp_path / "embed.onnx", "swapper": tmp_path / "swap.onnx"}
    paths["detector"].write_bytes(engine_bytes(detector_model(9, faces=FACES, gated=True)))  # none in black frames
    onnx.save(embedding_model(), paths["embedder"])
    onnx.save(swap_model(), paths["swapper"])
    np.save(tmp_path / "emap.npy", embedding_map())
    monkeypatch.setenv("QUORVEX_EMAP", str(tmp_path / "emap.npy"))
    return paths


def smooth_frame(height, width, seed):
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    phase = np.random.default_rng(seed).uniform(0, 6, 3)
    return np.stack([0.5 + 0.4 * np.sin(x / 31 + phase[0]), 0.5 + 0.4 * np.cos(y / 23 + phase[1]),
                     0.5 + 0.3 * np.sin((x + y) / 41 + phase[2])], 2).astype(np.float32)


@pytest.mark.parametrize("enhance", [False, True])
def test_only_the_face_regions_change(models, enhance):
    from support.restore_models import restorer

    from quorvex.face.detector import TrtFaceDetection
    from quorvex.face.embedding import FaceEmbedding
    from quorvex.face.enhancer import GFPGAN
    from quorvex.face.paste import PasteBack
    from quorvex.face.swap import FaceSwap
    from quorvex.pipeline.swap import swap_faces

    detector = TrtFaceDetection(model_path=str(models["detector"]))
    source = FaceEmbedding(model_path=str(models["embedder"]), device="cpu").get(
        detector.get(cp.asarray(smooth_frame(360, 640, 1)))[0])
    frame = cp.asarray(smooth_frame(360, 640, 2))
    enhancer = GFPGAN(restorer(1.0)) if enhance else None
    out, count = swap_faces(frame, source, detector, FaceSwap(model_path=str(models["swapper"]), device="cpu"),
                            PasteBack(), enhancer, crop_size=128)
    assert count == len(FACES)
    assert out.shape == frame.shape and out.dtype == cp.float32
    changed = np.abs(out.get() - frame.get()).max(axis=2) > 1e-6
    # Faces sit at network pixels (192, 192) and (448, 224); the frame maps 1:1 onto the input.
    boxes = [(f.box[0] - 10, f.box[1] - 10, f.box[2] + 10, f.box[3] + 10) for f in FACES]
    near_a_face = np.zeros_like(changed)
    for x1, y1, x2, y2 in boxes:
        near_a_face[max(int(y1), 0) : int(y2) + 1, max(int(x1), 0) : int(x2) + 1] = True
    assert not changed[~near_a_face].any()
    for x1, y1, x2, y2 in boxes:
        cy, cx = int((y1 + y2) / 2), int((x1 + x2) / 2)
        assert changed[cy - 5 : cy + 5, cx - 5 : cx + 5].all()


def test_the_enhancer_blend_mixes_restored_and_swapped_faces(models):
    from support.restore_models import restorer

    from quorvex.face.detector import TrtFaceDetection
    from quorvex.face.embedding import FaceEmbedding
    from quorvex.face.enhancer import GFPGAN
    from quorvex.face.paste import PasteBack
    from quorvex.face.swap import FaceSwap
    from quorvex.pipeline.swap import swap_faces

    detector = TrtFaceDetection(model_path=str(models["detector"]))
    source = FaceEmbedding(model_path=str(models["embedder"]), device="cpu").get(
        detector.get(cp.asarray(smooth_frame(360, 640, 1)))[0])
    frame, swapper, enhancer = cp.asarray(smooth_frame(360, 640, 2)), FaceSwap(model_path=str(models["swapper"]),
                                                                               device="cpu"), GFPGAN(restorer(0.5))
    out = {blend: swap_faces(frame, source, detector, swapper, PasteBack(), enhancer, crop_size=128,
                             enhancer_blend=blend)[0].get() for blend in (0.0, 0.5, 1.0)}
    restored = swap_faces(frame, source, detector, swapper, PasteBack(), enhancer, crop_size=128)[0].get()
    np.testing.assert_array_equal(out[1.0], restored)
    assert np.abs(out[0.0] - out[1.0]).max() > 0.1  # the halved restoration shows
    np.testing.assert_allclose(out[0.5], (out[0.0] + out[1.0]) / 2, atol=2e-6)  # the paste is linear in the face


def frame_files(tmp_path, black=()):
    paths = {}
    for seed, name in enumerate(("source", "target"), 1):
        paths[name] = tmp_path / f"{name}.png"
        frame = np.zeros((360, 640, 3), np.float32) if name in black else smooth_frame(360, 640, seed)
        cv2.imwrite(str(paths[name]), (frame * 255).astype(np.uint8))
    return paths


@pytest.mark.parametrize("enhance", [False, True])
def test_swap_example_writes_the_swapped_frame(models, tmp_path, capsys, enhance):
    from support.restore_models import restorer

    frames, output = frame_files(tmp_path), tmp_path / "out.png"
    if enhance:
        models["enhancer"] = tmp_path / "restore.onnx"
        models["enhancer"].write_bytes(restorer(1.0))
    example = runpy.run_path(str(ROOT / "examples" / "face_swap.py"))
    argv = [f"--{k}={v}" for k, v in {**models, **frames}.items()] + [f"--output={output}"]
    assert example["main"](argv) == 0
    assert capsys.readouterr().out.startswith("swapped 2 faces in ")
    written = cv2.imread(str(output))
    assert written.shape == (360, 640, 3)
    assert np.abs(written.astype(int) - cv2.imread(str(frames["target"])).astype(int)).max() > 10


@pytest.mark.parametrize(
    "case, code, message",
    [
        ("no landmarks", 2, "--detector {detector}: the engine gives no face landmarks (6 outputs); aligning "
                            "and swapping faces needs an engine with landmark outputs (9 or 15)"),
        ("black source", 1, "--source {source}: no face found in this image"),
        ("black target", 0, ""),  # written as it is: nothing to swap
        ("unknown extension", 2, "{output}: cannot write images of type .xyz"),
    ],
)
def test_swap_example_failures_say_what_happened_and_exit_non_zero(models, tmp_path, capsys, case, code, message):
    if case == "no landmarks":
        models["detector"].write_bytes(engine_bytes(detector_model(6, faces=FACES, gated=True)))
    frames = frame_files(tmp_path, black=[case.split()[1]] if case.startswith("black") else [])
    output = tmp_path / ("out.xyz" if case == "unknown extension" else "out.png")
    example = runpy.run_path(str(ROOT / "examples" / "face_swap.py"))
    argv = [f"--{k}={v}" for k, v in {**models, **frames}.items()] + [f"--output={output}"]
    assert example["main"](argv) == code
    if code == 0:
        assert "swapped 0 faces" in capsys.readouterr().out
        np.testing.assert_array_equal(cv2.imread(str(output)), cv2.imread(str(frames["target"])))
        return
    err = capsys.readouterr().err.splitlines()[-1]
    assert err.startswith("face_swap.py: error: ") and message.format(output=output, **models, **frames) in err
    assert not output.exists()


@pytest.mark.parametrize("size", [128, 256])
def test_a_matrix_rescaled_to_the_restored_size_pastes_the_face_where_the_crop_goes(size):
    from quorvex.face.paste import paste_back
    from quorvex.pipeline.swap import rescale_matrix
    from quorvex.transform.resize import resize

    crop = cv2.GaussianBlur(np.random.default_rng(size).random((size, size, 3)).astype(np.float32), (0, 0), 1.0)
    c, s = size / 200 * np.cos(0.2), size / 200 * np.sin(0.2)
    M = np.array([[c, -s, 0], [s, c, 0]], np.float32)
    M[:, 2] = size / 2 - M[:, :2] @ [200, 150]
    frame = cp.zeros((300, 400, 3), cp.float32)
    direct = paste_back(frame, cp.asarray(crop), cp.asarray(M)).get()
    restored = paste_back(frame, resize(cp.asarray(crop), (512, 512)), rescale_matrix(cp.asarray(M), size, 512)).get()
    ys, xs = np.mgrid[0:300, 0:400]
    u, v = (M.astype(np.float64) @ np.stack([xs.ravel(), ys.ravel(), np.ones(xs.size)])).reshape(2, 300, 400)
    inside = (u > 3) & (u < size - 4) & (v > 3) & (v < size - 4)
    # A half-pixel slip of the rescaled matrix shows on this sharp crop as a mean error above 0.01.
    assert np.abs(restored - direct)[inside].mean() < 0.006


@pytest.fixture
def upscale_example():
    return runpy.run_path(str(ROOT / "examples" / "upscale.py"))


def test_upscale_example_tiles_large_images_and_writes_the_result(tmp_path, capsys, upscale_example):
    from support.sr_models import compact, save_checkpoint

    from quorvex.upscale.core.torch import TorchUpscaler

    checkpoint = save_checkpoint(compact(scale=2), tmp_path / "x2.pth")
    source = tmp_path / "in.png"
    cv2.imwrite(str(source), (smooth_frame(100, 150, 3) * 255).astype(np.uint8))
    output = tmp_path / "out.png"
    argv = [f"--model={checkpoint}", f"--input={source}", f"--output={output}", "--tile=48", "--overlap=8",
            "--batch=4"]
    assert upscale_example["main"](argv) == 0
    assert "/12 [" in capsys.readouterr().err  # a progress bar over the 3 x 4 tiles
    written = cv2.imread(str(output), cv2.IMREAD_UNCHANGED)
    assert written.shape == (200, 300, 3) and written.dtype == np.uint8  # as the input
    image = cp.asarray(cv2.imread(str(source)).astype(np.float32) / 255)
    whole = TorchUpscaler(model_path=str(checkpoint), device="cuda").get(image).get()
    difference = np.abs(written / 255.0 - whole)
    assert difference.mean() < 0.01 and difference.max() < 0.2  # tile edges see zero padding


@pytest.mark.parametrize(
    "shape, dtype, args",
    [((1, 1), np.uint8, []), ((10, 1000), np.uint8, []), ((1000, 10), np.uint8, ["--batch=64"]),
     ((37, 5), np.uint16, ["--tile=8", "--overlap=6", "--batch=64"])],
)
def test_upscale_example_upscales_any_size_exactly(tmp_path, upscale_example, shape, dtype, args):
    from support.sr_models import compact, save_checkpoint

    model = compact(scale=2)
    with torch.no_grad():  # the residual branch off: nearest-neighbour upscaling, exactly
        model.body[-1].weight.zero_(), model.body[-1].bias.zero_()
    image = np.random.default_rng(4).integers(0, np.iinfo(dtype).max + 1, shape + (3,)).astype(dtype)
    cv2.imwrite(str(tmp_path / "in.png"), image)
    argv = [f"--model={save_checkpoint(model, tmp_path / 'x2.pth')}", f"--input={tmp_path / 'in.png'}",
            f"--output={tmp_path / 'out.png'}", *args]
    assert upscale_example["main"](argv) == 0
    written = cv2.imread(str(tmp_path / "out.png"), cv2.IMREAD_UNCHANGED)
    assert written.dtype == dtype  # the input's depth
    np.testing.assert_array_equal(written, np.repeat(np.repeat(image, 2, 0), 2, 1))


@pytest.mark.parametrize(
    "args, message",
    [
        (["--batch=0"], "--batch must be at least 1, got 0"),
        (["--tile=-1"], "--tile must be at least 0, got -1"),
        (["--tile=16", "--overlap=16"], "--overlap 16 must be smaller than --tile 16"),
        (["--overlap=-1"], "--overlap must be at least 0, got -1"),
        (["--output={tmp}"], "{tmp} is a folder; give the output file's name"),
        (["--output={tmp}/out.xyz"], "{tmp}/out.xyz: cannot write images of type .xyz"),
        (["--input={tmp}/none.png"], "{tmp}/none.png: no such file"),
        ([], "{tmp}/none.pth: no such model file"),
    ],
)
def test_upscale_example_refuses_in_one_line_before_the_model(tmp_path, capsys, upscale_example, args, message):
    cv2.imwrite(str(tmp_path / "in.png"), np.zeros((8, 8, 3), np.uint8))
    argv = [f"--model={tmp_path}/none.pth", f"--input={tmp_path}/in.png", f"--output={tmp_path}/out.png",
            *(arg.format(tmp=tmp_path) for arg in args)]
    assert upscale_example["main"](argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("upscale.py: error: ") and message.format(tmp=tmp_path) in err
    assert sorted(os.listdir(tmp_path)) == ["in.png"]


def test_the_readme_example_runs_as_written():
    text = (ROOT / "README.md").read_text()
    example = text.split("## Example", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    names = {}
    exec(compile(example, "README.md", "exec"), names)
    assert names["halves"].shape == (2, 540, 960, 3) and names["warped"].shape == (512, 512, 3)
