"""Small identity networks whose outputs the tests can compute with NumPy.

The embedding network averages 14 x 14 patches of its 1 x 3 x 112 x 112 input into 3 x 8 x 8
values and projects them with a fixed random 192 x 512 matrix. Optional leading nodes (whose names
the ONNX embedder reads) subtract and scale the input first.

The swap network maps image (1, 3, 128, 128) and latent (1, 512) to
1.5 * image - 0.25 + (latent @ P) per channel, P a fixed 512 x 3 matrix, so its output leaves 0..1;
its probe variant outputs 0.25 * |latent|^2 everywhere, which reads back the latent's norm.
"""

import numpy as np
from onnx import TensorProto, helper, numpy_helper

EMBEDDING_SIZE = 512
POOL = 14
SELF_SCALING = (0.5, 2.0)  # subtracted, then multiplied, by models that normalise their input

_rng = np.random.default_rng(1234)
PROJECTION = (_rng.standard_normal((3 * 8 * 8, EMBEDDING_SIZE)) / 8).astype(np.float32)
SWAP_PROJECTION = (_rng.standard_normal((EMBEDDING_SIZE, 3)) / 4).astype(np.float32)


def _model(nodes, inputs, outputs, initializers):
    graph = helper.make_graph(nodes, "identity", inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model


def embedding_model(lead=(), padding=0, height=112, width=112, outputs=1, batch=1, gain=None, half=False):
    """Embedding network. lead: names of leading normalising nodes, each "Sub..."/"_minus..." (a
    subtraction) or "Mul..."/"_mul..." (a multiplication); padding: Identity nodes before them;
    batch: the batch size, or a name for a dynamic one; gain: a factor on the embedding; half: a
    float16 output."""
    f32 = TensorProto.FLOAT
    nodes = [helper.make_node("Identity", ["input.1" if i == 0 else f"pad{i - 1}"], [f"pad{i}"], name=f"Pad{i}")
             for i in range(padding)]
    x = f"pad{padding - 1}" if padding else "input.1"
    inits = [numpy_helper.from_array(PROJECTION, "projection"),
             numpy_helper.from_array(np.array([-1, 3 * 8 * 8], np.int64), "flat")]
    if lead:
        inits += [numpy_helper.from_array(np.array(v, np.float32), name)
                  for name, v in zip(("offset", "factor"), SELF_SCALING)]
    for i, name in enumerate(lead):
        op = "Sub" if name.startswith(("Sub", "_minus")) else "Mul"
        nodes.append(helper.make_node(op, [x, "offset" if op == "Sub" else "factor"], [f"lead{i}"], name=name))
        x = f"lead{i}"
    kernel = [height // 8, width // 8]
    nodes += [helper.make_node("AveragePool", [x], ["pooled"], kernel_shape=kernel, strides=kernel, name="Pool"),
              helper.make_node("Reshape", ["pooled", "flat"], ["flat_pooled"], name="Flatten"),
              helper.make_node("MatMul", ["flat_pooled", "projection"], ["projected"], name="Project")]
    last = "projected"
    if gain is not None:
        inits.append(numpy_helper.from_array(np.array(gain, np.float32), "gain"))
        nodes.append(helper.make_node("Mul", [last, "gain"], ["amplified"], name="Gain"))
        last = "amplified"
    if half:
        nodes.append(helper.make_node("Cast", [last], ["halved"], to=TensorProto.FLOAT16, name="Half"))
        last = "halved"
    nodes.append(helper.make_node("Identity", [last], ["embedding"], name="Output"))
    out_type = TensorProto.FLOAT16 if half else f32
    outs = [helper.make_tensor_value_info("embedding", out_type, [batch, EMBEDDING_SIZE])]
    for k in range(1, outputs):
        nodes.append(helper.make_node("Identity", ["embedding"], [f"extra{k}"], name=f"Extra{k}"))
        outs.append(helper.make_tensor_value_info(f"extra{k}", f32, [1, EMBEDDING_SIZE]))
    return _model(nodes, [helper.make_tensor_value_info("input.1", f32, [batch, 3, height, width])], outs, inits)


def embedding_reference(blob, lead=()):
    """The embedding network on an NCHW float32 blob, in NumPy."""
    x = blob.astype(np.float32)
    for name in lead:
        x = x - SELF_SCALING[0] if name.startswith(("Sub", "_minus")) else x * SELF_SCALING[1]
    n, c, h, w = x.shape
    pooled = x.reshape(n, c, 8, h // 8, 8, w // 8).mean(axis=(3, 5))
    return pooled.reshape(n, -1) @ PROJECTION


def swap_model(probe=False, batch=1, emap=False):
    """batch: the batch size, or a name for a dynamic one; emap: embedding_map() carried as the
    last initializer, as real swap models carry theirs."""
    f32 = TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("target", f32, [batch, 3, 128, 128]),
              helper.make_tensor_value_info("source", f32, [batch, EMBEDDING_SIZE])]
    inits = [numpy_helper.from_array(SWAP_PROJECTION, "swap_projection"),
             numpy_helper.from_array(np.array([-1, 3, 1, 1], np.int64), "per_channel"),
             numpy_helper.from_array(np.array(1.5, np.float32), "gain"),
             numpy_helper.from_array(np.array(0.25, np.float32), "quarter"),
             numpy_helper.from_array(np.array(0.0, np.float32), "zero")]
    if probe:
        nodes = [helper.make_node("ReduceSumSquare", ["source"], ["norm2"], keepdims=1),
                 helper.make_node("Mul", ["norm2", "quarter"], ["level"]),
                 helper.make_node("Mul", ["target", "zero"], ["blank"]),
                 helper.make_node("Add", ["blank", "level"], ["output"])]
    else:
        nodes = [helper.make_node("MatMul", ["source", "swap_projection"], ["shift3"]),
                 helper.make_node("Reshape", ["shift3", "per_channel"], ["shift"]),
                 helper.make_node("Mul", ["target", "gain"], ["scaled"]),
                 helper.make_node("Sub", ["scaled", "quarter"], ["lowered"]),
                 helper.make_node("Add", ["lowered", "shift"], ["output"])]
    if emap:
        inits.append(numpy_helper.from_array(embedding_map(), "emap"))
    return _model(nodes, inputs, [helper.make_tensor_value_info("output", f32, [batch, 3, 128, 128])], inits)


def swap_reference(blob, latent):
    """The swap network (not the probe) on host arrays, in NumPy."""
    return 1.5 * blob - 0.25 + (latent @ SWAP_PROJECTION).reshape(1, 3, 1, 1)


def embedding_map(seed=7, scale=3.0):
    """A 512 x 512 map that changes lengths, so the swapper has to normalise its latent again."""
    rng = np.random.default_rng(seed)
    return (scale * rng.standard_normal((EMBEDDING_SIZE, EMBEDDING_SIZE)) / np.sqrt(EMBEDDING_SIZE)).astype(np.float32)


def face_crop(height, width, seed=0):
    """A smooth BGR float32 crop in 0..1 (smooth, so resizing compares well across implementations)."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    phase = np.random.default_rng(seed).uniform(0, 6, 3)
    crop = np.stack([0.5 + 0.4 * np.sin(x / 17.0 + phase[0]), 0.5 + 0.4 * np.cos(y / 13.0 + phase[1]),
                     0.5 + 0.3 * np.sin((x + y) / 23.0 + phase[2])], 2)
    return crop.astype(np.float32)
