// Face embedding with a TensorRT engine: an aligned face crop in, the identity vector out, kept
// on the QvFace record raw and unit-normalised. The engine runs on the object's own stream into
// buffers bound once; only a batch of another shape, on an engine with run-time dimensions,
// rebinds them.
#include "quorvex/face_embedding.hpp"
#include "quorvex/function.hpp"
#include "quorvex/trt_engine.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

constexpr const char *kWhat = "face embedding";

nb::object init(const qv::Args &a) {
    return qv::trt::construct(a, kWhat, [](nb::handle self) { self.attr("initialize")(); });
}

nb::object initialize(const qv::Args &a) {
    nb::handle self = a[0];
    qv::trt::Tensors tensors = qv::trt::allocate_buffers(self, kWhat);
    nb::object input_tensor = qv::trt::first_or(tensors.inputs, "input");
    nb::object output_tensor = qv::trt::first_or(tensors.outputs, "output");
    self.attr("input_tensor") = input_tensor;
    self.attr("output_tensor") = output_tensor;
    self.attr("output_names") = tensors.outputs;
    nb::list input_shape = qv::trt::buffer_shape(self.attr("d_inputs"), input_tensor);
    nb::list output_shape = qv::trt::buffer_shape(self.attr("d_outputs"), output_tensor);
    self.attr("input_shape") = input_shape;
    self.attr("output_shape") = output_shape;
    nb::object input_size =
        nb::len(input_shape) >= 4 ? nb::make_tuple(input_shape[3], input_shape[2]) : nb::make_tuple(112, 112);
    self.attr("input_size") = input_size;
    self.attr("input_mean") = 0.5;
    self.attr("input_std") = 0.5;
    qv::print(nb::str("Input shape: {}").attr("format")(input_shape));
    qv::print(nb::str("Output shape: {}").attr("format")(output_shape));
    qv::print(nb::str("Input size: {}").attr("format")(input_size));
    qv::print(nb::str("Normalization - mean: {}, std: {}")
                  .attr("format")(self.attr("input_mean"), self.attr("input_std")));
    self.attr("input_buffer") = nb::none();
    self.attr("output_buffer") = nb::none();
    return nb::none();
}

nb::object forward(const qv::Args &a) {
    return qv::trt::run_once(a[0], a["batch_data"], a[0].attr("output_tensor"), kWhat);
}

nb::object get_feat(const qv::Args &a) { return a[0].attr("forward")(qv::embedding::pack(a[0], a["imgs"])); }

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    return qv::embedding::fill(a["face"], [&](nb::handle image) { return self.attr("get_feat")(image); });
}

}  // namespace

NB_MODULE(recognizer, m) {
    m.doc() = "Face embedding with a TensorRT engine: identity vectors of aligned face crops.";
    qv::Class(m, "TrtFaceEmbedding", "Runs a face-embedding engine on aligned BGR face crops.")
        .fields(qv::trt::kEngineFields)
        .field("input_tensor", "str")
        .field("output_tensor", "str")
        .field("input_size", "tuple[int, int]")
        .field("input_mean", "float")
        .field("input_std", "float")
        .def("__init__", init, qv::trt::engine_params(), "None",
             "Loads the engine (model_path wins over model_bytes) on device_id and binds its buffers.")
        .def("initialize", initialize, {{"self"}}, "None",
             "Creates the stream, allocates and binds one device buffer per I/O tensor and reads the input "
             "and "
             "output shapes, the input size (112 x 112 for inputs of fewer than 4 dimensions) and the "
             "normalisation (mean 0.5, std 0.5).")
        .def("forward", forward, {{"self"}, {"batch_data", "cp.ndarray"}}, "cp.ndarray",
             "Runs the engine on an NCHW batch and returns a copy of the first output.\n\n"
             "Args:\n"
             "    batch_data: the NCHW batch; host batches are copied to the device, every batch is "
             "converted to the engine's element type. An engine with run-time dimensions has its input "
             "shape (and buffers) follow the batch.\n\n"
             "Returns:\n"
             "    A copy of the engine's first output.\n\n"
             "Raises:\n"
             "    ValueError: a batch the engine does not take: another shape than a fixed-shape engine's "
             "input, or one outside the optimization profile of an engine with run-time dimensions.")
        .def("get", get, {{"self"}, {"face", "QvFace"}}, "QvFace",
             "Fills embedding (the raw network output, flattened) and normed_embedding (unit Euclidean norm, "
             "float32 or wider) of the record from its aligned BGR crop; returns the same record. Raises "
             "ValueError, leaving the record unchanged, for an all-zero or non-finite embedding.")
        .def("get_feat", get_feat, {{"self"}, {"imgs", "list[cp.ndarray] | cp.ndarray"}}, "cp.ndarray",
             "Raw network output for one RGB image or a list of them, packed at the input size and mapped "
             "from "
             "0..1 to -1..1.")
        .finish();
}
