"""What to install for each optional library, in one table: the package's own extra where one
brings the library (pyproject.toml's optional dependencies), else the library's own package.
Both the C++ modules and the command name a missing library through it."""

from __future__ import annotations

INSTALL = {
    "cupy": "pip install 'quorvex[cuda12]' (or 'quorvex[cuda13]' for CUDA 13)",
    "torch": "pip install 'quorvex[torch]'",
    "spandrel": "pip install 'quorvex[torch]'",
    "spandrel_extra_arches": "pip install 'quorvex[torch]'",
    "safetensors": "pip install 'quorvex[torch]'",
    "onnxruntime": "pip install 'quorvex[onnxruntime-gpu]' (or 'quorvex[onnxruntime]' for the CPU alone)",
    "onnxruntime-gpu": "pip install 'quorvex[onnxruntime-gpu]'",  # the build with the CUDA provider
    "tensorrt": "pip install 'quorvex[tensorrt]'",
    "av": "pip install 'quorvex[video]'",
    "PyNvVideoCodec": "pip install 'quorvex[nvcodec]'",
    "nvidia.nvimgcodec": "pip install 'quorvex[nvimgcodec-cu12]' (or 'quorvex[nvimgcodec-cu13]' for CUDA 13)",
    "OpenEXR": "pip install 'quorvex[exr]'",
    "ray": "pip install 'quorvex[ray]'",
    "cyndilib": "pip install 'quorvex[ndi]'",
    # dependencies of the package itself, missing only from a broken environment
    "numpy": "pip install numpy",
    "cv2": "pip install opencv-python-headless",
    "onnx": "pip install onnx",
}


def install_hint(module: str) -> str:
    """The command that installs module (a dotted name without an entry goes by its top package)."""
    top = module.split(".")[0]
    return INSTALL.get(module) or INSTALL.get(top, f"pip install {top}")
