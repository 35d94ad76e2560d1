"""Folder and video jobs of the quorvex command on a local Ray cluster; the workers get the CPU
stand-ins through ray_workers/sitecustomize.py."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest
from conftest import ON_GPU
from support.command import ROOT, TEST_PATH, nearest_x2, quorvex_process, smooth_image, write_png

av = pytest.importorskip("av")
ray = pytest.importorskip("ray")

from quorvex.cli import main, run_job  # noqa: E402
from quorvex.cli.common import CliError  # noqa: E402

GPUS = 1 if ON_GPU else 0
pytestmark = pytest.mark.xdist_group("ray")  # one local cluster, on one test worker


@pytest.fixture(scope="module")
def cluster():
    """One local cluster for the module; its workers inherit this PYTHONPATH from the raylet."""
    before = os.environ.get("PYTHONPATH")
    paths = [str(ROOT / "ray_workers"), TEST_PATH] + ([before] if before else [])
    os.environ["PYTHONPATH"] = os.pathsep.join(paths)
    ray.init(num_cpus=2, num_gpus=GPUS, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
    try:
        yield ray.get_runtime_context().gcs_address
    finally:
        ray.shutdown()
        if before is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = before


def write_video(path, frames=60, key_every=10, keys=()):
    """48x32 frames, a key frame every key_every frames (or at the frames keys names), one second
    of audio. (x264 encodes frames of 4 x 3 macroblocks or fewer differently from run to run, so
    the outputs are kept larger.)"""
    with av.open(str(path), "w") as container:
        video = container.add_stream("libx264", rate=25)
        video.width, video.height, video.pix_fmt = 48, 32, "yuv420p"
        video.codec_context.gop_size = frames if keys else key_every
        video.options = {"keyint_min": str(key_every), "sc_threshold": "0", "forced-idr": "1"}
        audio = container.add_stream("aac", rate=8000)
        for i in range(frames):
            image = (smooth_image(32, 48, i) * 255 + 0.5).astype(np.uint8)
            frame = av.VideoFrame.from_ndarray(image, "bgr24")
            if i in keys:
                frame.pict_type = av.video.frame.PictureType.I
            container.mux(video.encode(frame))
        container.mux(video.encode())
        tone = av.AudioFrame.from_ndarray(np.zeros((1, 8000), np.float32), format="fltp", layout="mono")
        tone.sample_rate, tone.pts = 8000, 0
        container.mux(audio.encode(tone))
        container.mux(audio.encode())
    return path


def decoded(path):
    with av.open(str(path)) as container:
        frames = [f.to_ndarray(format="bgr24").astype(int) for f in container.decode(video=0)]
    with av.open(str(path)) as container:
        audio = sum(1 for p in container.demux(audio=0) if p.dts is not None) if container.streams.audio else 0
    with av.open(str(path)) as container:
        keys = [p.is_keyframe for p in container.demux(video=0) if p.dts is not None]
    return frames, audio, keys


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    """A folder of 12 images and one that does not decode, a 60-frame video, an x2 model and the
    single-process outputs."""
    root = tmp_path_factory.mktemp("job")
    for i in range(12):
        write_png(root / "in" / f"{i // 4}" / f"{i:02d}.png", 24, 32, i)
    (root / "in" / "broken.png").write_bytes(b"\x89PNG not really")
    write_video(root / "clip.mp4")
    model = str(nearest_x2(root / "x2.onnx"))
    for source, target, status in (("in", "ref", 1), ("clip.mp4", "ref.mp4", 0)):
        assert main(["upscale", str(root / source), str(root / target), f"--model={model}", "--tile=16",
                     "--overlap=4", "--quiet"]) == status
    return root, model


def outputs(folder):
    return {p.relative_to(folder): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def upscale(job_, source, target, progress=None, **extra):
    root, model = job_
    return run_job("upscale", root / source, target, workers=2, gpus_per_worker=GPUS, model=model, tile=16,
                   overlap=4, progress=progress, **extra)


@pytest.mark.parametrize("kind", ["folder", "video"])
@pytest.mark.parametrize("kill", [False, True])
def test_two_workers_match_the_single_process_run_even_when_one_dies(cluster, job, tmp_path, kind, kill):
    root, _ = job
    killed = []

    def kill_a_worker(event):  # ends the process of the worker that finished first, mid-job
        if kill and not killed:
            killed.append(event["worker"])
            os.kill(event["worker"], signal.SIGKILL)

    source, target = ("in", tmp_path / "out") if kind == "folder" else ("clip.mp4", tmp_path / "out" / "big.mp4")
    counts = upscale(job, source, target, kill_a_worker)
    assert counts["workers"] == 2 and counts["done"] == (12 if kind == "folder" else 6)
    assert (counts["retried"] >= 1 and counts["restarts"] >= 1) if kill else counts["retried"] == 0
    if kind == "folder":  # every file, once, byte for byte; nothing else left behind
        assert counts["failed"] == [str(root / "in" / "broken.png")]
        assert outputs(tmp_path / "out") == outputs(root / "ref")
        return
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["big.mp4"]
    assert target.read_bytes() == (root / "ref.mp4").read_bytes()  # the same pieces, joined the same way
    frames, audio, keys = decoded(target)
    assert len(frames) == 60 and audio > 0 and [i for i, key in enumerate(keys) if key] == list(range(0, 60, 10))


@pytest.mark.parametrize("kind", ["folder", "video"])
def test_a_job_started_again_skips_what_was_finished(cluster, job, tmp_path, kind):
    target = tmp_path / "out" if kind == "folder" else tmp_path / "big.mp4"

    def interrupt(event):
        if event["done"] == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        upscale(job, "in" if kind == "folder" else "clip.mp4", target, interrupt)
    finished = sorted(target.rglob("*.png")) if kind == "folder" else sorted(tmp_path.glob(".big.*.piece.mp4"))
    assert len(finished) >= 3
    times = [p.stat().st_mtime_ns for p in finished]
    counts = upscale(job, "in" if kind == "folder" else "clip.mp4", target)
    assert counts["skipped"] == len(finished) and counts["done"] == (12 if kind == "folder" else 6) - len(finished)
    if kind == "folder":
        assert [p.stat().st_mtime_ns for p in finished] == times
        assert outputs(target) == outputs(job[0] / "ref")
    else:
        assert target.read_bytes() == (job[0] / "ref.mp4").read_bytes() and not list(tmp_path.glob(".big*"))


def test_a_model_that_cannot_load_fails_the_job_at_once(cluster, job, tmp_path):
    (tmp_path / "garbage.onnx").write_bytes(b"not a model")
    calls = []
    with pytest.raises(CliError, match="not a readable ONNX model") as failure:
        run_job("upscale", job[0] / "in", tmp_path / "out", workers=2, gpus_per_worker=GPUS,
                model=tmp_path / "garbage.onnx", progress=calls.append)
    assert failure.value.status == 2 and not calls and not (tmp_path / "out").exists()
    # Workers no node can hold are refused instead of waited for.
    with pytest.raises(CliError, match=r"fewer than --gpus-per-worker 1000") as failure:
        run_job("upscale", job[0] / "in", tmp_path / "out", workers=2, gpus_per_worker=1000, model=job[1])
    assert failure.value.status == 2 and not (tmp_path / "out").exists()


def test_the_command_on_an_existing_cluster_a_missing_one_and_without_ray(cluster, job, tmp_path):
    root, model = job
    done = quorvex_process("upscale", root / "in", tmp_path / "out", f"--ray={cluster}", "--workers=2",
                   f"--gpus-per-worker={GPUS}", f"--model={model}", "--tile=16", "--overlap=4")
    assert done.returncode == 1, done.stderr  # the input that does not decode
    assert "upscaled 12 images on 2 Ray workers, 1 failed" in done.stdout and "13/13" in done.stderr
    assert "quorvex upscale: skipped: " in done.stderr and "broken.png: cannot decode" in done.stderr
    assert outputs(tmp_path / "out") == outputs(root / "ref")
    without_ray = "import sys; sys.modules['ray'] = None; from quorvex.cli import main; sys.exit(main())"
    missing = subprocess.run([sys.executable, "-c", without_ray, "upscale", root / "in", tmp_path / "o", "--ray"],
                             capture_output=True, text=True)
    assert missing.returncode == 2 and missing.stderr == (
        "quorvex upscale: error: --ray needs Ray, which is not installed: pip install 'quorvex[ray]'\n")
    # an address where nothing listens is refused at once (Ray alone retries it for minutes)
    nowhere = quorvex_process("upscale", root / "in", tmp_path / "o", "--ray=127.0.0.1:9")
    assert nowhere.returncode == 2 and "--ray 127.0.0.1:9: no Ray cluster answers there" in nowhere.stderr


def test_swap_on_two_workers_matches_the_single_process_run(cluster, job, tmp_path, monkeypatch):
    import onnx
    from support.detector_models import detector_model, face_at
    from support.identity_models import embedding_map, embedding_model, swap_model

    from standin.tensorrt import engine_bytes

    models = {"detector": tmp_path / "det.engine", "embedder": tmp_path / "embed.onnx",
              "swapper": tmp_path / "swap.onnx"}
    models["detector"].write_bytes(engine_bytes(detector_model(9, faces=[face_at(16, 12, 12, 0.9, 70)])))
    onnx.save(embedding_model(), models["embedder"])
    onnx.save(swap_model(), models["swapper"])
    np.save(tmp_path / "emap.npy", embedding_map())
    monkeypatch.setenv("QUORVEX_EMAP", str(tmp_path / "emap.npy"))  # forwarded to the workers
    for i in range(4):
        write_png(tmp_path / "in" / f"{i}.png", 360, 640, i)
    options = {k: str(v) for k, v in models.items()}
    assert main(["swap", f"--source={tmp_path / 'in' / '0.png'}", str(tmp_path / "in"), str(tmp_path / "ref"),
                 *(f"--{k}={v}" for k, v in options.items()), "--quiet"]) == 0
    counts = run_job("swap", tmp_path / "in", tmp_path / "out", workers=2, gpus_per_worker=GPUS,
                     source=tmp_path / "in" / "0.png", **options)
    assert counts["done"] == 4 and counts["workers"] == 2
    assert outputs(tmp_path / "out") == outputs(tmp_path / "ref") and outputs(tmp_path / "ref")


class _Ref:
    def __init__(self, dies):
        self.dies = dies


class _Handle:
    """A worker whose load dies while deaths are left."""

    def __init__(self, deaths):
        self.load = type("Method", (), {"remote": lambda *_: _Ref(deaths.pop() if deaths else False)})()


class _Ray:
    exceptions = ray.exceptions

    def wait(self, refs, num_returns=1, timeout=None):
        return refs[:num_returns], refs[num_returns:]

    def get(self, ref):
        if ref.dies:
            raise ray.exceptions.RayActorError()
        return 1, 1  # process id, items at once

    def kill(self, handle, no_restart=True):
        pass


@pytest.mark.parametrize("size", [1, 2])
def test_workers_are_replaced_up_to_the_restart_limit_and_not_once_more(size):
    from quorvex.cli.runners.ray import RESTARTS, _Pool

    for deaths, survives in ((RESTARTS * size, True), (RESTARTS * size + 1, False)):
        dying = [True] * deaths
        actor = type("Actor", (), {"remote": staticmethod(lambda *args: _Handle(dying))})
        pool = _Pool(_Ray(), actor, size, {"args": (), "video": False})
        try:
            while len(pool.idle) < size:
                pool.wait()
        except CliError as error:
            assert not survives and str(error) == (f"workers died {deaths} times; giving up (finished outputs are "
                                                   "kept, run again to go on)")
        else:
            assert survives and pool.restarts == deaths


def test_a_stopped_job_writes_nothing_after_it_returns(cluster, job, tmp_path):
    import time

    def stop(event):  # the user presses Ctrl-C once the first file is done, the other worker busy
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        upscale(job, "in", tmp_path / "out", stop)
    written = outputs(tmp_path / "out")
    time.sleep(3)  # a killed worker still running would write now
    assert outputs(tmp_path / "out") == written and 1 <= len(written) < 12
    assert not [p for p in (tmp_path / "out").rglob(".*")]  # no temporary file left behind


def test_a_stopped_video_job_stops_its_running_pieces(cluster, job, tmp_path):
    import time

    source = write_video(tmp_path / "long.mp4", frames=1200, keys=(0, 20))  # a short piece, then a long one

    def stop(event):  # Ctrl-C once the short piece is done and the long one is being made
        for _ in range(2400):  # the second worker may still be loading its model on a busy machine
            if list(tmp_path.glob(".*+1180.*.source.mp4")):  # its key-frame range, cut out to decode
                raise KeyboardInterrupt
            time.sleep(0.05)

    with pytest.raises(KeyboardInterrupt):
        run_job("upscale", source, tmp_path / "long_x2.mp4", workers=2, gpus_per_worker=GPUS, scale=2, progress=stop)
    # only the finished piece is kept for the next run; the long one stopped at a frame, leaving nothing
    assert [p.name.split(".")[2] for p in tmp_path.glob(".*")] == ["00000000+20"]
