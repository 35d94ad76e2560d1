"""A face-restoration network of the ONNX enhancer's shape: RGB 512 x 512 in and out."""

from onnx import TensorProto, helper


def restorer(gain):
    """A 1x3x512x512 -> 1x3x512x512 network: output = input * gain."""
    graph = helper.make_graph(
        [helper.make_node("Mul", ["image", "gain"], ["restored"])],
        "restorer",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 512, 512])],
        [helper.make_tensor_value_info("restored", TensorProto.FLOAT, [1, 3, 512, 512])],
        initializer=[helper.make_tensor("gain", TensorProto.FLOAT, [], [gain])],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model.SerializeToString()
