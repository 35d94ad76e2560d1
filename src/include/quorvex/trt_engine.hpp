// Serialized TensorRT engines run on an object's own stream into device buffers bound once:
// loading, buffer allocation and binding, input staging and execution, shared by the classes
// that wrap an engine. The caller's work stays on CuPy's current stream: events order the
// engine's stream after the staged input and the caller's stream after the engine, so nothing
// waits on the host. State lives in the object's attributes (engine, ctx, stream, d_inputs,
// d_outputs, input_tensor), so callers decide which further attributes to keep and in what order.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "quorvex/batch_shape.hpp"
#include "quorvex/instance_lock.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/model_file.hpp"
#include "quorvex/python.hpp"

namespace quorvex::trt {

// The attributes load_engine and allocate_buffers set, as the classes declare them.
inline constexpr std::pair<const char *, const char *> kEngineFields[] = {
    {"device_id", "int"},
    {"logger", "trt.Logger"},
    {"runtime", "trt.Runtime"},
    {"engine", "trt.ICudaEngine"},
    {"ctx", "trt.IExecutionContext"},
    {"stream", "cp.cuda.Stream"},
    {"d_inputs", "dict[str, cp.ndarray]"},
    {"d_outputs", "dict[str, cp.ndarray]"}};

inline Import &tensorrt() {
    static Import module("tensorrt");
    return module;
}

// I/O tensor names in the engine's order: TensorRT 10 and later name them by index; older
// releases iterate the engine.
inline nb::list tensor_names(nb::handle engine) {
    nb::list names;
    if (PyObject_HasAttrString(engine.ptr(), "num_io_tensors")) {
        int count = nb::cast<int>(engine.attr("num_io_tensors"));
        for (int i = 0; i < count; ++i) names.append(engine.attr("get_tensor_name")(i));
    } else {
        for (nb::handle name : engine) names.append(name);
    }
    return names;
}

// Sets _lock (the instance's, for InstanceLock), device_id, logger, runtime, engine and ctx on
// self, in that order, and announces the engine; the caller holds a DeviceScope of device_id. The
// file at model_path, when given, wins over model_bytes. `what` names the engine in messages
// ("face detection").
inline void load_engine(nb::handle self, nb::handle model_path, nb::handle model_bytes, nb::handle device_id,
                        const char *what) {
    self.attr("_lock") = quorvex::stdlib::threading.get().attr("RLock")();
    self.attr("device_id") = device_id;
    nb::handle trt = tensorrt().get();
    self.attr("logger") = trt.attr("Logger")(trt.attr("Logger").attr("WARNING"));
    self.attr("runtime") = trt.attr("Runtime")(self.attr("logger"));
    nb::object data = model_path.is_none() ? nb::borrow(model_bytes) : read_file(model_path);
    if (data.is_none())
        raise(PyExc_ValueError, "model_bytes must be provided if model_path is not specified");
    // TensorRT logs its reason and returns None instead of raising.
    nb::object engine = self.attr("runtime").attr("deserialize_cuda_engine")(data);
    if (engine.is_none())
        raise(PyExc_RuntimeError, "TensorRT could not deserialize the %s engine (see its log)", what);
    self.attr("engine") = engine;
    self.attr("ctx") = engine.attr("create_execution_context")();
    print(nb::str("{} engine loaded \u2714  tensors:").attr("format")(what), engine);
}

// The parameters of the engine classes' constructors, self first.
inline std::vector<Param> engine_params() {
    return {{"self"},
            {"model_path", "Optional[str]", nb::none()},
            {"model_bytes", "Optional[bytes]", nb::none()},
            {"device_id", "int", nb::int_(0)}};
}

// What the engine classes' constructors share: inside a DeviceScope of device_id, load_engine
// from the arguments model_path, model_bytes and device_id, then the class's own steps, then(self).
template <typename Then>
nb::object construct(const Args &a, const char *what, Then &&then) {
    DeviceScope scope(a["device_id"]);
    load_engine(a[0], a["model_path"], a["model_bytes"], a["device_id"], what);
    then(a[0]);
    return nb::none();
}

struct Tensors {
    nb::list names, inputs, outputs;  // all in engine order
};

inline std::vector<int64_t> dims(nb::handle shape) {
    std::vector<int64_t> values;
    for (nb::handle d : shape) values.push_back(nb::cast<int64_t>(d));
    return values;
}

inline bool is_dynamic(const std::vector<int64_t> &shape) {
    for (int64_t d : shape)
        if (d < 0) return true;
    return false;
}

// Entry 0, 1 or 2 (min, opt, max) of an input's shapes in the context's optimization profile.
inline std::vector<int64_t> profile_shape(nb::handle self, nb::handle name, int which) {
    nb::object ctx = self.attr("ctx");
    nb::object shapes =
        self.attr("engine").attr("get_tensor_profile_shape")(name, ctx.attr("active_optimization_profile"));
    return nb::len(shapes) == 3 ? dims(shapes[nb::int_(which)]) : std::vector<int64_t>{};
}

// The batch shapes an input takes: its engine shape, with the profile's bounds where it is
// set at run time.
inline ShapeRange input_range(nb::handle self, nb::handle name) {
    std::vector<int64_t> shape = dims(self.attr("engine").attr("get_tensor_shape")(name));
    std::vector<int64_t> low = profile_shape(self, name, 0), high = profile_shape(self, name, 2);
    ShapeRange range;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool bounded = shape[i] < 0 && i < low.size() && i < high.size() && low[i] >= 0;
        if (shape[i] >= 0)
            range.add(shape[i], shape[i]);
        else if (bounded)
            range.add(low[i], high[i]);
        else
            range.add(0, -1);
    }
    return range;
}

inline void set_input_shape(nb::handle self, nb::handle name, const std::vector<int64_t> &shape,
                            const char *what) {
    nb::list values;
    for (int64_t d : shape) values.append(d);
    // TensorRT logs its reason and returns False instead of raising.
    if (self.attr("ctx").attr("set_input_shape")(name, values).ptr() != Py_True)
        raise(PyExc_RuntimeError, "TensorRT could not set the %s engine's input %U to shape %s (see its log)",
              what, str_of(name).ptr(), shape_text(shape).c_str());
}

// Sets stream, d_inputs and d_outputs on self: a new non-blocking stream (ordered only by the
// events of stage_input and execute) and one uninitialised buffer per I/O tensor in the shape the
// context reports, each bound to its tensor. Inputs with run-time dimensions first get their
// profile's optimal shape.
inline Tensors allocate_buffers(nb::handle self, const char *what) {
    nb::handle trt = tensorrt().get();
    const Cupy &cp = quorvex::cp();
    nb::object engine = self.attr("engine"), ctx = self.attr("ctx");
    self.attr("stream") = cp.module.attr("cuda").attr("Stream")(nb::arg("non_blocking") = true);
    nb::dict d_inputs, d_outputs;
    self.attr("d_inputs") = d_inputs;
    self.attr("d_outputs") = d_outputs;
    Tensors tensors;
    tensors.names = tensor_names(engine);
    nb::object input_mode = trt.attr("TensorIOMode").attr("INPUT");
    for (nb::handle name : tensors.names)
        if (engine.attr("get_tensor_mode")(name).equal(input_mode) &&
            is_dynamic(dims(ctx.attr("get_tensor_shape")(name)))) {
            std::vector<int64_t> opt = profile_shape(self, name, 1);
            if (opt.empty() || is_dynamic(opt))
                raise(PyExc_ValueError,
                      "the %s engine's input %U has run-time dimensions but no optimization profile", what,
                      str_of(name).ptr());
            set_input_shape(self, name, opt, what);
        }
    for (nb::handle name : tensors.names) {
        nb::list shape;
        for (int64_t d : dims(ctx.attr("get_tensor_shape")(name))) shape.append(nb::int_(d));
        nb::object dtype = trt.attr("nptype")(engine.attr("get_tensor_dtype")(name));
        nb::object buffer = cp.empty(nb::tuple(shape), nb::arg("dtype") = dtype);
        bool is_input = engine.attr("get_tensor_mode")(name).equal(input_mode);
        (is_input ? d_inputs : d_outputs)[name] = buffer;
        (is_input ? tensors.inputs : tensors.outputs).append(name);
    }
    for (nb::handle name : tensors.names) {
        nb::object buffer = d_inputs.contains(name) ? d_inputs[name] : d_outputs[name];
        ctx.attr("set_tensor_address")(name, buffer.attr("data").attr("ptr"));
    }
    return tensors;
}

// The first name of a list, or a fallback when it is empty.
inline nb::object first_or(nb::handle names, const char *fallback) {
    return nb::len(names) ? nb::object(names[nb::int_(0)]) : nb::object(nb::str(fallback));
}

// Shape of a bound buffer as a list; empty when the engine has no such tensor.
inline nb::list buffer_shape(nb::handle buffers, nb::handle name) {
    nb::list shape;
    nb::dict dict = nb::borrow<nb::dict>(buffers);
    if (dict.contains(name))
        for (int64_t n : shape_of(dict[name])) shape.append(nb::int_(n));
    return shape;
}

// Binds a new uninitialised buffer of this shape, in the engine's element type, to a tensor.
inline void rebind(nb::handle self, nb::dict buffers, nb::handle name, const std::vector<int64_t> &shape) {
    nb::list values;
    for (int64_t d : shape) values.append(d);
    nb::object dtype = buffers[name].attr("dtype");
    PyDict_DelItem(buffers.ptr(), name.ptr());  // the old buffer goes before the new one is made
    nb::object buffer = cp().empty(nb::tuple(values), nb::arg("dtype") = dtype);
    buffers[name] = buffer;
    self.attr("ctx").attr("set_tensor_address")(name, buffer.attr("data").attr("ptr"));
}

// Copies a device batch into the buffer of input_tensor on the current stream, converting it to
// the engine's element type, and makes the engine's stream wait for that copy. A batch the engine does not
// take (another shape for fixed dimensions, outside the profile for run-time ones) is refused; one of a new
// shape within the profile sets the input shape and gets input and output buffers of the shapes that follow
// from it.
inline void stage_input(nb::handle self, nb::handle batch, const char *what) {
    nb::dict d_inputs = nb::borrow<nb::dict>(self.attr("d_inputs"));
    nb::object input_tensor = self.attr("input_tensor");
    if (!d_inputs.contains(input_tensor))
        raise(PyExc_ValueError, "the %s engine has no input tensor to feed", what);
    // The engine may still be reading the previous input, if it was staged on another stream.
    nb::object current = cp().module.attr("cuda").attr("get_current_stream")();
    current.attr("wait_event")(self.attr("stream").attr("record")());
    std::vector<int64_t> shape = shape_of(batch);
    if (shape != shape_of(d_inputs[input_tensor])) {
        check_batch_shape(input_range(self, input_tensor), shape, what);
        set_input_shape(self, input_tensor, shape, what);
        rebind(self, d_inputs, input_tensor, shape);
        nb::dict d_outputs = nb::borrow<nb::dict>(self.attr("d_outputs"));
        nb::list names =
            nb::steal<nb::list>(PyDict_Keys(d_outputs.ptr()));  // a copy: rebind changes the dict
        for (nb::handle name : names) {
            std::vector<int64_t> needed = dims(self.attr("ctx").attr("get_tensor_shape")(name));
            if (needed != shape_of(d_outputs[name])) rebind(self, d_outputs, name, needed);
        }
    }
    d_inputs[input_tensor][nb::ellipsis()] = batch;
    self.attr("stream").attr("wait_event")(current.attr("record")());
}

// Runs the engine on the object's stream and makes the current stream wait for it: outputs read
// there are complete, and the next stage_input on it cannot overwrite an input still being read.
inline void execute(nb::handle self, const char *what) {
    nb::object stream = self.attr("stream");
    nb::object ok = self.attr("ctx").attr("execute_async_v3")(stream.attr("ptr"));
    // TensorRT reports a failed launch by returning False and logging why.
    if (ok.ptr() == Py_False)
        raise(PyExc_RuntimeError, "TensorRT could not run the %s engine (see its log)", what);
    nb::object current = cp().module.attr("cuda").attr("get_current_stream")();
    current.attr("wait_event")(stream.attr("record")());
}

// One run for a caller: the instance held (InstanceLock), a host batch copied to the device,
// staged, run, and a copy of the output tensor's buffer returned (the next run overwrites the
// buffer itself).
inline nb::object run_once(nb::handle self, nb::handle batch, nb::handle output_tensor, const char *what) {
    InstanceLock lock(self, true);
    nb::object input = nb::borrow(batch);
    if (is_host_array(input)) input = cp().asarray(input);
    stage_input(self, input, what);
    execute(self, what);
    return self.attr("d_outputs")[output_tensor].attr("copy")();
}

}  // namespace quorvex::trt
