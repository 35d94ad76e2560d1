"""The benchmark script runs end to end (tiny images); its real figures come from a GPU machine."""

import pathlib
import runpy

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.standin
def test_benchmarks_run_and_report_every_operation(capsys):
    bench = runpy.run_path(str(ROOT / "benchmarks" / "run.py"))
    rows = bench["run"](40, 24, repeat=1)
    names = [row["name"] for row in rows]
    assert names[:2] == ["grayscale 40x24", "BGR grayscale 40x24"] and len(names) == 2 + 2 * 5 + 2 + 1 + 8
    assert names[-9:] == ["affine_transform device matrix 40x24->50x30", "resize AREA uint8 40x24->20x12",
                          "resize LANCZOS4 uint8 40x24->20x12", "resize LANCZOS4 uint8 20x12->40x24",
                          "resize LANCZOS4 uint8 26x16->40x24",
                          "affine_transform uint8 40x24->20x12", "GaussianBlur.get uint8 ksize 31 40x24",
                          "GaussianBlur.get float32 ksize 31 40x24", "to_blob uint8 40x24->20x12"]
    assert all(row["seconds"] > 0 and row["bandwidth_fraction"] > 0 and row["alternative"] > 0 for row in rows)
    out = capsys.readouterr().out
    assert "copy" in out and "[L 1, S 0, up 0/0 B, down 0/0 B]" in out  # the grayscale lines' counts


@pytest.mark.standin
def test_detector_benchmark_runs_with_and_without_faces():
    bench = runpy.run_path(str(ROOT / "benchmarks" / "run.py"))
    rows = bench["run_detector"](320, 180, repeat=1)
    assert [row["name"] for row in rows] == ["detector 10 faces", "detector no faces"]
    assert all(row["seconds"] > 0 for row in rows)


@pytest.mark.standin
def test_paste_benchmark_runs():
    bench = runpy.run_path(str(ROOT / "benchmarks" / "run.py"))
    rows = bench["run_paste"](160, 90, repeat=1)
    assert [row["name"] for row in rows] == ["paste back", "paste back 10 crops get_many"]
    assert all(row["seconds"] > 0 and row["alternative"] > 0 for row in rows)


@pytest.mark.standin
def test_face_pipeline_benchmark_runs(capsys):
    bench = runpy.run_path(str(ROOT / "benchmarks" / "run.py"))
    rows = bench["run_face_pipeline"](160, 90, repeat=1)
    assert [row["name"] for row in rows] == ["swap own work", "crop and paste", "enhancer own work"]
    assert all(row["seconds"] > 0 for row in rows)
    assert "S 1, up 1/196608 B, down 1/" in capsys.readouterr().out  # the swap's one round trip


@pytest.mark.standin
@pytest.mark.xdist_group("ndi")  # its live run uses NDI on loopback
def test_whole_benchmark_script_runs_small(capsys, monkeypatch):
    monkeypatch.setattr("sys.argv", ["run.py", "--small"])
    monkeypatch.setattr("quorvex.cli.plan.SOURCE_TIMEOUT", 1.0)  # the live run's sender stops at once
    with pytest.raises(SystemExit) as done:
        runpy.run_path(str(ROOT / "benchmarks" / "run.py"), run_name="__main__")
    assert done.value.code == 0
    out = capsys.readouterr().out
    assert "grayscale" in out and "detector" in out and "paste back" in out and "tiles" in out
    assert "nv12_to_bgr" in out and "bgr_to_v210" in out
    assert "TileBlender" in out and "x target" in out
    assert "live 64x32 at 30 fps" in out or "live: not run" in out
    assert "command: upscale 2 x 160x96 x4" in out and "upscaled 2 images" in out and "Upscaler alone" in out
    assert "x the slowest stage" in out and "video job" in out and "folder: 3 PNGs" in out
