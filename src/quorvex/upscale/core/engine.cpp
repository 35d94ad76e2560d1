// Super-resolution with a TensorRT engine: an NCHW batch of tiles in, the upscaled batch out.
// The engine runs on the object's own stream into buffers bound once; a batch of another shape
// within the engine's optimization profile rebinds them, one outside it is refused before it runs.
#include "quorvex/function.hpp"
#include "quorvex/trt_engine.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

constexpr const char *kWhat = "super-resolution";

nb::tuple as_tuple(const std::vector<int64_t> &values) {
    nb::list out;
    for (int64_t v : values) out.append(v);
    return nb::tuple(out);
}

nb::object init(const qv::Args &a) {
    return qv::trt::construct(a, kWhat, [](nb::handle self) {
        qv::trt::Tensors tensors = qv::trt::allocate_buffers(self, kWhat);
        if (nb::len(tensors.inputs) != 1 || nb::len(tensors.outputs) != 1)
            qv::raise(PyExc_ValueError,
                      "an upscaling engine has one input and one output; this one has %zu and %zu",
                      nb::len(tensors.inputs), nb::len(tensors.outputs));
        nb::object input = tensors.inputs[0], output = tensors.outputs[0];
        self.attr("input_tensor") = input;
        self.attr("output_tensor") = output;
        qv::ShapeRange range = qv::trt::input_range(self, input);
        if (range.low.size() != 4)
            qv::raise(PyExc_ValueError, "the engine's input %U takes %s; expected (batch, 3, height, width)",
                      qv::str_of(input).ptr(), range.text().c_str());
        self.attr("input_low") = as_tuple(range.low);
        self.attr("input_high") = as_tuple(range.high);
        self.attr("input_dtype") = self.attr("d_inputs")[input].attr("dtype");
        self.attr("output_dtype") = self.attr("d_outputs")[output].attr("dtype");
    });
}

nb::object forward(const qv::Args &a) {
    qv::DeviceScope scope(a[0].attr("device_id"));
    return qv::trt::run_once(a[0], a["batch"], a[0].attr("output_tensor"), kWhat);
}

}  // namespace

NB_MODULE(engine, m) {
    m.doc() = "Super-resolution with a TensorRT engine: batches of tiles upscaled on the device.";
    qv::Class(m, "TrtUpscaler", "Runs a super-resolution engine on NCHW batches of RGB tiles.")
        .def("__init__", init, qv::trt::engine_params(), "None",
             "Loads the engine (model_path wins over model_bytes) on device_id and binds one device buffer "
             "per I/O tensor.\n\n"
             "An input with run-time dimensions is bound at its profile's optimal shape. Sets input_low and "
             "input_high, the (batch, channels, height, width) bounds the input takes (-1: no upper bound), "
             "and input_dtype and output_dtype.\n\n"
             "Args:\n"
             "    model_path, model_bytes: the serialized engine; model_path wins over model_bytes.\n"
             "    device_id: the CUDA device the engine runs on.\n\n"
             "Raises:\n"
             "    ValueError: an engine without exactly one input and one output, or whose input is not "
             "four-dimensional.\n"
             "    RuntimeError: TensorRT cannot load it.")
        .def("forward", forward, {{"self"}, {"batch", "cp.ndarray | np.ndarray"}}, "cp.ndarray",
             "Runs the engine on an NCHW batch (a host batch is copied to the device; every batch is "
             "converted "
             "to the engine's element type) and returns a copy of its output, in the engine's output type. "
             "The "
             "caller's stream waits for the engine, not the host. Raises ValueError for a batch the engine "
             "does "
             "not take.")
        .finish();
}
