"""Small detection networks whose outputs the tests choose.

Each graph has the engine layout the detector reads: per stride a score map (N, 1), then per
stride box distances (N, 4), then (for landmark models) per stride landmark offsets (N, 10),
N = (H / stride) * (W / stride) * anchors. Outputs are constants fed through Identity, so a test
plants a face by writing a high score and distances at one anchor.
"""

from dataclasses import dataclass, field

import numpy as np
from onnx import TensorProto, helper, numpy_helper

LAYOUTS = {  # outputs -> (strides, anchors per cell, landmarks)
    6: ([8, 16, 32], 2, False),
    9: ([8, 16, 32], 2, True),
    10: ([8, 16, 32, 64, 128], 1, False),
    15: ([8, 16, 32, 64, 128], 1, True),
}

# Five-point template of a 112-pixel aligned face.
TEMPLATE = np.array(
    [[38.2946, 51.6963], [73.5318, 51.5014], [56.0252, 71.7366], [41.5493, 92.3655], [70.7299, 92.2041]],
    np.float64,
)


@dataclass
class Face:
    """A face planted at one anchor, in network-input pixels."""

    stride: int
    row: int
    col: int
    score: float
    box: tuple  # x1, y1, x2, y2
    kps: np.ndarray = field(default=None)  # (5, 2)
    anchor: int = 0

    @property
    def centre(self):
        return self.col * self.stride, self.row * self.stride


def face_at(stride, row, col, score, side, anchor=0, angle=0.0):
    """A face whose box is side x side around the anchor centre and whose landmarks are the
    template turned by angle and scaled to the box."""
    cx, cy = col * stride, row * stride
    box = (cx - side / 2, cy - side / 2, cx + side / 2, cy + side / 2)
    c, s = np.cos(angle), np.sin(angle)
    unit = (TEMPLATE - 56.0) / 112.0
    kps = np.stack([cx + side * (c * unit[:, 0] - s * unit[:, 1]), cy + side * (s * unit[:, 0] + c * unit[:, 1])], 1)
    return Face(stride, row, col, score, box, kps, anchor)


def detector_model(outputs=9, height=640, width=640, faces=(), input_shape=None, gated=False):
    """gated: scores are scaled by the brightest input value (clamped at 0), so the faces are
    found in any frame with a bright pixel and none in a black one."""
    strides, anchors, landmarks = LAYOUTS.get(outputs, ([8, 16], 1, False))
    maps = {"score": [], "bbox": [], "kps": []}
    for stride in strides:
        h, w = height // stride, width // stride
        n = h * w * anchors
        score, bbox, kps = np.zeros((n, 1), np.float32), np.zeros((n, 4), np.float32), np.zeros((n, 10), np.float32)
        for face in faces:
            if face.stride != stride:
                continue
            i = (face.row * w + face.col) * anchors + face.anchor
            cx, cy = face.centre
            x1, y1, x2, y2 = face.box
            score[i] = face.score
            bbox[i] = np.array([cx - x1, cy - y1, x2 - cx, y2 - cy]) / stride
            if face.kps is not None:
                kps[i] = ((face.kps - [cx, cy]) / stride).ravel()
        maps["score"].append(score)
        maps["bbox"].append(bbox)
        maps["kps"].append(kps)
    kinds = ["score", "bbox"] + (["kps"] if landmarks else [])
    if outputs not in LAYOUTS:  # an unsupported layout: just the first `outputs` maps
        kinds = ["score", "bbox", "kps"]
    nodes, inits, outs = [], [], []
    if gated:
        nodes += [helper.make_node("ReduceMax", ["input.1"], ["brightest"], keepdims=0),
                  helper.make_node("Relu", ["brightest"], ["gate"])]
    for kind in kinds:
        for stride, array in zip(strides, maps[kind]):
            name = f"{kind}_{stride}"
            inits.append(numpy_helper.from_array(array, name + "_value"))
            if gated and kind == "score":
                nodes.append(helper.make_node("Mul", [name + "_value", "gate"], [name]))
            else:
                nodes.append(helper.make_node("Identity", [name + "_value"], [name]))
            outs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, list(array.shape)))
    if outputs not in LAYOUTS:
        outs, nodes = outs[:outputs], nodes[:outputs]
    shape = input_shape or [1, 3, height, width]
    graph = helper.make_graph(nodes, "detector", [helper.make_tensor_value_info("input.1", TensorProto.FLOAT, shape)],
                              outs, initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model


def run_once(model):
    """Sanity check of a model with ONNX Runtime: the outputs it produces."""
    import onnxruntime as ort

    session = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    shape = [d.dim_value for d in model.graph.input[0].type.tensor_type.shape.dim]
    return session.run(None, {"input.1": np.zeros(shape, np.float32)})
