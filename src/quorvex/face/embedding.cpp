// Face embedding with an ONNX model through ONNX Runtime: the counterpart of the TensorRT
// recognizer. Whether the model scales its own input is read from its first nodes.
#include <string>

#include "quorvex/assertion.hpp"
#include "quorvex/batch_shape.hpp"
#include "quorvex/face_embedding.hpp"
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/onnx_session.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Models that normalise their input start with a subtraction and a multiplication.
constexpr size_t kInspectedNodes = 8;

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    qv::ort::CheckedModel model = qv::ort::open_session(self, a);
    nb::object session = self.attr("session");

    if (model.proto.is_none()) model.proto = qv::load_onnx_checked(model.source);  // the parse error
    nb::object graph = model.proto.attr("graph");
    bool find_sub = false, find_mul = false;
    size_t seen = 0;
    for (nb::handle node : graph.attr("node")) {
        if (seen++ == kInspectedNodes) break;
        std::string name = nb::cast<std::string>(node.attr("name"));
        find_sub = find_sub || starts_with(name, "Sub") || starts_with(name, "_minus");
        find_mul = find_mul || starts_with(name, "Mul") || starts_with(name, "_mul");
    }
    bool self_scaling = find_sub && find_mul;
    self.attr("input_mean") = self_scaling ? 0.0 : 0.5;
    self.attr("input_std") = self_scaling ? 1.0 : 0.5;

    nb::object input_cfg = session.attr("get_inputs")()[nb::int_(0)];
    nb::object shape = input_cfg.attr("shape");
    self.attr("input_size") = qv::ort::input_size_of(shape);
    self.attr("input_shape") = shape;
    self.attr("input_name") = input_cfg.attr("name");
    nb::object outputs = session.attr("get_outputs")();
    nb::list output_names = qv::ort::names_of(outputs);
    self.attr("output_names") = output_names;
    qv::assert_true(nb::len(output_names) == 1);
    self.attr("output_shape") = outputs[nb::int_(0)].attr("shape");
    return nb::none();
}

// The batches the session takes: its input shape, symbolic or unknown dimensions free.
qv::ShapeRange input_range(nb::handle shape) {
    qv::ShapeRange range;
    for (nb::handle d : shape) {
        if (PyLong_CheckExact(d.ptr()))
            range.add(nb::cast<int64_t>(d), nb::cast<int64_t>(d));
        else
            range.add(0, -1);
    }
    return range;
}

nb::object forward(const qv::Args &a) {
    nb::handle self = a[0];
    nb::object blob = qv::embedding::pack(self, a["imgs"]);
    // Refused as the TensorRT embedder refuses it, before anything moves to the host.
    qv::check_batch_shape(input_range(self.attr("input_shape")), qv::shape_of(blob), "face embedding");
    nb::dict feed;
    feed[self.attr("input_name")] = qv::sibling::to_numpy(blob);
    nb::object result = self.attr("session").attr("run")(self.attr("output_names"), feed)[nb::int_(0)];
    return qv::sibling::to_cupy(result);
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    return qv::embedding::fill(a["face"], [&](nb::handle image) { return self.attr("forward")(image); });
}

}  // namespace

NB_MODULE(embedding, m) {
    m.doc() =
        "Face embedding with an ONNX model through ONNX Runtime: identity vectors of aligned face crops.";
    qv::ort::def_session_arguments(m);
    qv::Class(m, "FaceEmbedding", "Runs an ONNX face-embedding model on aligned BGR face crops.")
        .field("session", "ort.InferenceSession")
        .field("input_mean", "float")
        .field("input_std", "float")
        .field("input_size", "tuple[int, int]")
        .field("input_shape", "list")
        .field("input_name", "str")
        .field("output_names", "list[str]")
        .def("__init__", init, qv::ort::session_params(), "None",
             "Creates the session (model_bytes wins over model_path) with the providers device selects (see "
             "session_arguments). Models whose first 8 nodes subtract and multiply get 0..1 input (mean 0, "
             "std 1); others -1..1 (mean 0.5, std 0.5).")
        .def("forward", forward, {{"self"}, {"imgs", "cp.ndarray | list[cp.ndarray]"}}, "cp.ndarray",
             "Network output for one RGB image or a list of them, packed at the input size. Raises "
             "ValueError for a batch the model does not take (more images than a fixed batch size).")
        .def("get", get, {{"self"}, {"face", "QvFace"}}, "QvFace",
             "Fills embedding (the raw network output, flattened) and normed_embedding (unit Euclidean norm, "
             "float32 or wider) of the record from its aligned BGR crop; returns the same record. Raises "
             "ValueError, leaving the record unchanged, for an all-zero or non-finite embedding.")
        .finish();
}
