"""Conversions for super-resolution models: PyTorch checkpoints to ONNX, ONNX to TensorRT engines."""

import onnx
import os

def torch_to_onnx(model_path: str, onnx_path: str, input_shape: tuple | None = None, dynamic_axes: dict | None = None, opset_version: int = 20, precision: str = 'fp32', device: str = 'cuda') -> None:
    """Exports a checkpoint whose architecture spandrel recognises to ONNX, input 'input', output 'output'. Without input_shape and dynamic_axes, batch, height and width are dynamic and the trace uses a 1x3x128x128 input. precision 'fp16' or 'bf16' traces under autocast to that type."""
def onnx_to_trt_dynamic_shape(onnx_path: str, engine_path: str, precision: str = 'fp16', workspace: int = 1073741824, size_requirements: tuple[int, int, int] = (16, 512, 2048), batch_requirements: tuple[int, int, int] = (1, 1, 1)) -> None:
    """
    Builds a TensorRT engine whose dynamic input axes get an optimization profile.

    A dynamic channel axis gets channels 1 to 4.

    Args:
        onnx_path: the ONNX model.
        engine_path: where the engine is saved.
        precision: 'fp16', 'bf16', 'int8' where the device is fast at it, else TF32; TensorRT 11 (strongly typed) gets the graph converted to half or bfloat16 instead, inputs and outputs keeping their types, and refuses 'int8'.
        workspace: TensorRT's workspace memory pool limit, in bytes.
        size_requirements: height and width (minimum, optimal, maximum).
        batch_requirements: batch (minimum, optimal, maximum).

    Raises:
        RuntimeError: the build failed; suggestions are printed first.
    """
def onnx_to_trt_fixed_shape(onnx_path: str, engine_path: str, fixed_shape: tuple = (1, 3, 512, 512), precision: str = 'fp16', workspace: int = 1073741824) -> None:
    """Builds a TensorRT engine with the model's input rewritten to fixed_shape (batch, channels, height, width). precision: 'fp16' or 'int8' where the device is fast at it, else the default; TensorRT 11 gets the graph converted to half for 'fp16' and refuses 'int8'."""
def onnx_to_trt(onnx_path: str, engine_path: str, input_shape: tuple | None = None, precision: str = 'fp16', workspace: int = 536870912, size_requirements: tuple[int, int, int] = (16, 512, 2048), batch_requirements: tuple[int, int, int] = (1, 1, 1)) -> None:
    """Builds a TensorRT engine with a fixed input shape when input_shape is given, else with dynamic shapes; a failure prints a suggestion for the other mode and is raised again."""
def load_onnx(model: str | os.PathLike | bytes) -> onnx.ModelProto:
    """Parses an ONNX model (a path, or bytes) without reading its side files, and raises ValueError when one of them (external data) does not resolve, links followed, to a file inside the model's folder (for bytes, the working directory)."""
