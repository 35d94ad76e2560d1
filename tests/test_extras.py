"""The extras give a GPU machine what the package loads there, and every install command the
package prints or documents names extras that exist."""

import pathlib
import re

import pytest

tomllib = pytest.importorskip("tomllib")

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXTRAS = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]


@pytest.mark.parametrize(
    "extra, requirement",
    [
        ("cuda12", "cupy-cuda12x[ctk]"),  # NVRTC comes with CuPy's ctk extra: kernels compile without a toolkit
        ("cuda13", "cupy-cuda13x[ctk]"),
        ("onnxruntime-gpu", "onnxruntime-gpu"),
        ("nvimgcodec-cu12", "nvidia-nvimgcodec-cu12"),
        ("nvimgcodec-cu13", "nvidia-nvimgcodec-cu13"),
    ],
)
def test_extras_bring_what_the_gpu_needs(extra, requirement):
    assert any(r.startswith(requirement) for r in EXTRAS[extra]), EXTRAS.get(extra)


def test_install_commands_name_existing_extras():
    texts = [ROOT / "README.md"] + sorted((ROOT / "src").rglob("*.cpp")) + sorted((ROOT / "src").rglob("*.py"))
    named = {(path.name, extra.strip()) for path in texts
             for group in re.findall(r"quorvex\[([^\]{}]+)\]", path.read_text()) for extra in group.split(",")}
    assert named and {(where, extra) for where, extra in named if extra not in EXTRAS} == set()
