// Reduced-precision ONNX graphs for strongly typed TensorRT (10.x with the flag, 11 always): the
// model computing in float16 or bfloat16, its single-precision inputs and outputs kept behind
// casts at the boundary. Part of quorvex.upscale.convert, kept apart from export and building.
#pragma once

#include "quorvex/python.hpp"

namespace quorvex::precision {

namespace nb = nanobind;

// onnx, imported on first use.
inline nb::handle onnx_module() {
    static Import module("onnx");
    return module.get();
}

struct Reduce {
    nb::handle onnx;
    nb::object helper, numpy_helper, target_np;
    long single, target;
};

inline void reduce_tensor(const Reduce &r, nb::handle tensor) {
    if (nb::cast<long>(tensor.attr("data_type")) != r.single) return;
    nb::object values = r.numpy_helper.attr("to_array")(tensor).attr("astype")(r.target_np);
    tensor.attr("CopyFrom")(r.numpy_helper.attr("from_array")(values, tensor.attr("name")));
}

// Every use of the name `from` as a node input (also inside subgraphs, which may read outer
// values) and, with `outputs`, as a node output, becomes `to`.
inline void rename(nb::handle graph, nb::handle from, nb::handle to, bool outputs) {
    for (nb::handle node : graph.attr("node")) {
        for (const char *field : {"input", "output"}) {
            if (!outputs && field[0] == 'o') continue;
            nb::object names = node.attr(field);
            for (size_t i = 0; i < nb::len(names); ++i)
                if (names[nb::int_(i)].equal(from)) names[nb::int_(i)] = to;
        }
        for (nb::handle a : node.attr("attribute")) {
            if (nb::cast<bool>(a.attr("HasField")("g"))) rename(a.attr("g"), from, to, false);
            for (nb::handle sub : a.attr("graphs")) rename(sub, from, to, false);
        }
    }
}

// Weights, constants, casts and intermediate types of single precision become r.target.
inline void reduce_graph(const Reduce &r, nb::handle graph) {
    for (nb::handle t : graph.attr("initializer")) reduce_tensor(r, t);
    for (nb::handle vi : graph.attr("value_info")) {
        nb::object tensor_type = vi.attr("type").attr("tensor_type");
        if (nb::cast<long>(tensor_type.attr("elem_type")) == r.single)
            tensor_type.attr("elem_type") = r.target;
    }
    nb::object np = nb::module_::import_("numpy");
    long tensor_kind = nb::cast<long>(r.onnx.attr("AttributeProto").attr("TENSOR"));
    for (nb::handle node : graph.attr("node")) {
        std::string op = nb::cast<std::string>(node.attr("op_type"));
        nb::list scalars;  // Constant's value_float(s): single precision by definition
        for (nb::handle a : node.attr("attribute")) {
            std::string name = nb::cast<std::string>(a.attr("name"));
            if (nb::cast<long>(a.attr("type")) == tensor_kind) reduce_tensor(r, a.attr("t"));
            if (op == "Cast" && name == "to" && nb::cast<long>(a.attr("i")) == r.single)
                a.attr("i") = r.target;
            if (op == "Constant" && (name == "value_float" || name == "value_floats")) scalars.append(a);
            if (nb::cast<bool>(a.attr("HasField")("g"))) reduce_graph(r, a.attr("g"));
            for (nb::handle sub : a.attr("graphs")) reduce_graph(r, sub);
        }
        for (nb::handle a : scalars) {
            bool one = nb::cast<std::string>(a.attr("name")) == "value_float";
            nb::object values = np.attr("array")(one ? a.attr("f") : nb::object(nb::list(a.attr("floats"))),
                                                 nb::arg("dtype") = r.target_np);
            node.attr("attribute").attr("remove")(a);
            node.attr("attribute")
                .attr("append")(
                    r.helper.attr("make_attribute")("value", r.numpy_helper.attr("from_array")(values)));
        }
    }
}

// The default-domain opset a model imports.
inline long opset_of(nb::handle model) {
    for (nb::handle entry : model.attr("opset_import")) {
        std::string domain = nb::cast<std::string>(entry.attr("domain"));
        if (domain.empty() || domain == "ai.onnx") return nb::cast<long>(entry.attr("version"));
    }
    return 0;
}

// The model (a ModelProto, changed in place) computing in `target` ("FLOAT16", "BFLOAT16"),
// with its single-precision inputs and outputs unchanged behind casts at the boundary, so that
// callers bind the buffers they did for a single-precision engine. Inputs that ONNX defines as
// single precision only (the scales of Resize and Upsample) get a cast back.
inline void reduce_precision(nb::handle model, const char *target) {
    Reduce r;
    r.onnx = onnx_module();
    r.helper = r.onnx.attr("helper");
    r.numpy_helper = r.onnx.attr("numpy_helper");
    nb::object types = r.onnx.attr("TensorProto");
    r.single = nb::cast<long>(types.attr("FLOAT"));
    r.target = nb::cast<long>(types.attr(target));
    r.target_np = r.helper.attr("tensor_dtype_to_np_dtype")(r.target);
    if (nb::cast<long>(r.target_np.attr("itemsize")) != 2)
        raise(PyExc_RuntimeError, "converting the model to %s needs onnx 1.18 or newer (pip install -U onnx)",
              target);
    nb::object graph = model.attr("graph");
    reduce_graph(r, graph);

    nb::set initializers;
    for (nb::handle t : graph.attr("initializer")) initializers.add(t.attr("name"));
    nb::list first, last;  // casts before and after the graph's nodes
    auto boundary_type = [&](nb::handle vi) {
        nb::object tensor_type = vi.attr("type").attr("tensor_type");
        return nb::cast<long>(tensor_type.attr("elem_type")) == r.single;
    };
    for (nb::handle vi : graph.attr("input")) {
        if (!boundary_type(vi)) continue;
        if (initializers.contains(vi.attr("name"))) {  // a weight listed as input (IR 3): now reduced
            vi.attr("type").attr("tensor_type").attr("elem_type") = r.target;
            continue;
        }
        nb::object inner = nb::str("{}/{}").attr("format")(vi.attr("name"), target);
        rename(graph, vi.attr("name"), inner, false);
        first.append(r.helper.attr("make_node")("Cast", nb::make_tuple(vi.attr("name")),
                                                nb::make_tuple(inner), nb::arg("to") = r.target));
    }
    for (nb::handle vi : graph.attr("output")) {
        if (!boundary_type(vi)) continue;
        nb::object inner = nb::str("{}/{}").attr("format")(vi.attr("name"), target);
        rename(graph, vi.attr("name"), inner, true);
        last.append(r.helper.attr("make_node")("Cast", nb::make_tuple(inner), nb::make_tuple(vi.attr("name")),
                                               nb::arg("to") = r.single));
    }

    long opset = opset_of(model);
    nb::list nodes = first;
    for (nb::handle node : graph.attr("node")) {
        std::string op = nb::cast<std::string>(node.attr("op_type"));
        size_t slot = op == "Resize" ? (opset >= 11 ? 2 : 1) : op == "Upsample" ? 1 : 0;
        nb::object inputs = node.attr("input");
        if (slot && slot < nb::len(inputs) && nb::len(nb::object(inputs[nb::int_(slot)]))) {
            nb::object name = inputs[nb::int_(slot)];
            nb::object single = nb::str("{}/FLOAT").attr("format")(name);
            nodes.append(r.helper.attr("make_node")("Cast", nb::make_tuple(name), nb::make_tuple(single),
                                                    nb::arg("to") = r.single));
            inputs[nb::int_(slot)] = single;
        }
        nb::object copy = r.onnx.attr("NodeProto")();
        copy.attr("CopyFrom")(node);
        nodes.append(copy);
    }
    for (nb::handle node : last) nodes.append(node);
    graph.attr("ClearField")("node");
    graph.attr("node").attr("extend")(nodes);
}

}  // namespace quorvex::precision
