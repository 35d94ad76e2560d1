"""TensorRT engines of the tests' ONNX graphs (the stand-in wraps them; real TensorRT is not
asked to build them)."""

import pytest

try:
    from standin.tensorrt import engine_bytes
except ImportError:  # pragma: no cover - a GPU machine with TensorRT and without the stand-in
    engine_bytes = None


def engine(model, profile=None):
    """An engine of the model; profile ({input: (min, opt, max)}) builds one with run-time shapes."""
    if engine_bytes is None:
        pytest.skip("needs the TensorRT stand-in to turn ONNX graphs into engines")
    if profile is None:
        return engine_bytes(model)
    import tensorrt as trt

    logger = trt.Logger()
    builder = trt.Builder(logger)
    network = builder.create_network(0)
    parser = trt.OnnxParser(network, logger)
    assert parser.parse(model.SerializeToString())
    config = builder.create_builder_config()
    shapes = builder.create_optimization_profile()
    for name, (low, opt, high) in profile.items():
        shapes.set_shape(name, low, opt, high)
    config.add_optimization_profile(shapes)
    return bytes(builder.build_serialized_network(network, config))
