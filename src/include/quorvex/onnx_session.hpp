// ONNX Runtime sessions of the face models: the execution provider a device string selects,
// the model bytes, and the TensorRT provider's cache folder.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/model_file.hpp"
#include "quorvex/python.hpp"

namespace quorvex::ort {

inline Import &onnxruntime() {
    static Import module("onnxruntime");
    return module;
}

// Relative to the working directory, where the TensorRT provider keeps engines and timing caches.
inline constexpr const char *kTrtCacheFolder = "models/trt_engine_cache";

inline nb::dict tensorrt_options() {
    nb::dict options;
    options["trt_max_workspace_size"] = nb::int_(2147483648LL);
    options["trt_fp16_enable"] = false;
    options["trt_engine_cache_enable"] = true;
    options["trt_engine_cache_path"] = kTrtCacheFolder;
    options["trt_timing_cache_enable"] = true;
    options["trt_sparsity_enable"] = true;
    return options;
}

// session_options, providers and provider_options for a device string (create_session hands
// the options to ONNX Runtime as sess_options): "...cuda:N" (the text
// after the last colon is the device id), "cuda", "trt", anything else the CPU.
inline nb::dict session_arguments(const std::string &device) {
    nb::object options = onnxruntime().get().attr("SessionOptions")();
    options.attr("log_severity_level") = 4;
    options.attr("log_verbosity_level") = 4;
    nb::list providers, provider_options;
    if (device.find("cuda:") != std::string::npos) {
        nb::dict cuda;
        cuda["device_id"] = device.substr(device.rfind(':') + 1);
        providers.append("CUDAExecutionProvider");
        provider_options.append(cuda);
    } else if (device == "cuda") {
        providers.append("CUDAExecutionProvider");
        provider_options.append(nb::dict());
    } else if (device == "trt") {
        providers.append("TensorrtExecutionProvider");
        provider_options.append(tensorrt_options());
    } else {
        providers.append("CPUExecutionProvider");
        provider_options.append(nb::dict());
    }
    nb::dict kwargs;
    kwargs["session_options"] = options;
    kwargs["providers"] = providers;
    kwargs["provider_options"] = provider_options;
    return kwargs;
}

// What a session is made from, with its parsed model, side files checked: the caller's bytes
// win; else the path, since a runtime fed bytes looks for side files in the working directory
// rather than beside the model. A model ONNX cannot parse gets no proto (None): the runtime's own
// error on it is the one to report.
struct CheckedModel {
    nb::object source, proto;
};

inline nb::object parsed_and_checked(nb::handle source) {
    try {
        return load_onnx_checked(source);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_OSError)) throw;
        return nb::none();
    }
}

inline CheckedModel checked_model(nb::handle model_path, nb::handle model_bytes) {
    nb::handle source = model_bytes.is_none() ? model_path : model_bytes;
    if (source.is_none()) raise(PyExc_ValueError, "model or model_path is required");
    return {nb::borrow(source), parsed_and_checked(source)};
}

// The TensorRT provider fails late and obscurely without its cache folder, so it is made first;
// an error names the folder and keeps the OSError subclass (permission, a file in the way).
inline void make_cache_folder() {
    nb::handle os = quorvex::stdlib::os.get();
    try {
        os.attr("makedirs")(kTrtCacheFolder, nb::arg("exist_ok") = true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
        nb::object cause = nb::borrow(e.value());
        nb::object error = e.type()(cause.attr("errno"),
                                    nb::str("Cannot create the TensorRT engine cache folder ({})")
                                        .attr("format")(cause.attr("strerror")),
                                    kTrtCacheFolder);
        PyException_SetCause(error.ptr(), cause.release().ptr());
        PyErr_SetObject(e.type().ptr(), error.ptr());
        throw nb::python_error();
    }
}

// (width, height) of an NCHW input as the session reports its shape: entries 2 and 3 reversed,
// whatever they are (symbolic names for dynamic axes).
inline nb::object input_size_of(nb::handle shape) {
    nb::object height_width = shape[nb::slice(nb::int_(2), nb::int_(4), nb::none())];
    PyObject *size = PySequence_Tuple(height_width[nb::slice(nb::none(), nb::none(), nb::int_(-1))].ptr());
    if (!size) throw nb::python_error();
    return nb::steal(size);
}

// The keywords for InferenceSession: ONNX Runtime names the options `sess_options` and drops
// keywords it does not know without a word, so `session_options` (the name session_arguments
// publishes) is handed over under that name.
inline nb::dict session_keywords(nb::handle kwargs) {
    nb::dict keywords, given = nb::borrow<nb::dict>(kwargs);
    for (auto [key, value] : given) {
        bool renamed = nb::str(key).equal(nb::str("session_options")) && !given.contains("sess_options");
        keywords[renamed ? nb::object(nb::str("sess_options")) : nb::borrow(key)] = value;
    }
    return keywords;
}

inline bool is_gpu_provider(nb::handle name) {
    return nb::isinstance<nb::str>(name) && (nb::str(name).equal(nb::str("CUDAExecutionProvider")) ||
                                             nb::str(name).equal(nb::str("TensorrtExecutionProvider")));
}

// The session's attribute holding the stream its GPU provider computes on (see create_session).
inline constexpr const char *kComputeStream = "_quorvex_compute_stream";

// The stream a session made by create_session computes on; None on the CPU and for sessions made
// elsewhere.
inline nb::object compute_stream(nb::handle session) {
    return nb::getattr(session, kComputeStream, nb::none());
}

inline nb::dict dict_of(nb::handle mapping) {
    return nb::borrow<nb::dict>(nb::handle((PyObject *)&PyDict_Type)(mapping));
}

// The keywords with a compute stream for the first provider where it is a GPU one: made here
// on the provider's device, or the caller's own user_compute_stream. Runs then order themselves
// after the caller's work, and its later work after them, by events alone (see run_first_output).
inline nb::dict with_compute_stream(nb::dict keywords, nb::object &stream) {
    stream = nb::none();
    if (!keywords.contains("providers") || !PySequence_Check(keywords["providers"].ptr())) return keywords;
    nb::list providers = nb::list(keywords["providers"]);
    if (!nb::len(providers)) return keywords;
    nb::object first = providers[0];
    bool paired = nb::isinstance<nb::tuple>(first) && nb::len(first) == 2;
    nb::object name = paired ? nb::object(first[nb::int_(0)]) : first;
    nb::object available = onnxruntime().get().attr("get_available_providers")();
    if (!is_gpu_provider(name) || PySequence_Contains(available.ptr(), name.ptr()) != 1) return keywords;
    nb::list per_provider;
    nb::dict options;
    if (paired) {
        options = dict_of(first[nb::int_(1)]);
    } else if (keywords.contains("provider_options")) {
        per_provider = nb::list(keywords["provider_options"]);
        if (nb::len(per_provider)) options = dict_of(per_provider[0]);
    }
    nb::object cuda = cp().module.attr("cuda");
    // The TensorRT provider reads user_compute_stream only with has_user_compute_stream set.
    options["has_user_compute_stream"] = "1";
    if (options.contains("user_compute_stream")) {
        stream = cuda.attr("ExternalStream")(nb::int_(nb::str(options["user_compute_stream"])));
    } else {
        nb::object device = cuda.attr("Device")(
            nb::int_(nb::str(options.contains("device_id") ? options["device_id"] : nb::int_(0))));
        device.attr("__enter__")();
        try {
            stream = cuda.attr("Stream")(nb::arg("non_blocking") = true);
        } catch (...) {
            device.attr("__exit__")(nb::none(), nb::none(), nb::none());
            throw;
        }
        device.attr("__exit__")(nb::none(), nb::none(), nb::none());
        options["user_compute_stream"] = nb::str(stream.attr("ptr"));
    }
    nb::dict result = dict_of(keywords);
    if (paired || !keywords.contains("provider_options")) {
        providers[0] = nb::make_tuple(name, options);
    } else {
        per_provider[0] = options;
        result["provider_options"] = per_provider;
    }
    result["providers"] = providers;
    return result;
}

inline nb::object create_session(nb::handle model, nb::handle kwargs) {
    nb::dict given = nb::borrow<nb::dict>(kwargs);
    if (given.contains("providers")) {
        nb::object providers = given["providers"];
        if (nb::len(providers) && nb::str(providers[nb::int_(0)]).equal(nb::str("TensorrtExecutionProvider")))
            make_cache_folder();
    }
    nb::object session_type = onnxruntime().get().attr("InferenceSession");
    nb::tuple args = nb::make_tuple(model);
    nb::object stream;
    nb::dict keywords = with_compute_stream(session_keywords(kwargs), stream);
    PyObject *session = PyObject_Call(session_type.ptr(), args.ptr(), keywords.ptr());
    if (!session) throw nb::python_error();
    nb::object made = nb::steal(session);
    // A GPU provider the runtime could not start leaves the session on the CPU.
    nb::list running = nb::list(made.attr("get_providers")());
    if (!stream.is_none() && nb::len(running) && is_gpu_provider(running[0]))
        nb::setattr(made, kComputeStream, stream);
    return made;
}

// The declared shape and element type of a session's first output, its first axis the batch:
// false where another axis is not a number or the type is not float32/float16.
inline bool declared_output(nb::handle session, int64_t batch, nb::object &shape, nb::object &dtype) {
    nb::object output = session.attr("get_outputs")()[nb::int_(0)];
    std::string type = nb::cast<std::string>(nb::str(output.attr("type")));
    if (type == "tensor(float)")
        dtype = nb::borrow(cp().float32);
    else if (type == "tensor(float16)")
        dtype = cp().module.attr("float16");
    else
        return false;
    nb::list dims;
    dims.append(batch);
    nb::object declared = output.attr("shape");
    if (nb::len(declared) < 1) return false;
    for (size_t i = 1; i < nb::len(declared); ++i) {
        nb::object n = declared[nb::int_(i)];
        if (!PyLong_Check(n.ptr()) || nb::cast<int64_t>(n) < 1) return false;
        dims.append(n);
    }
    shape = nb::tuple(dims);
    return true;
}

// The session's first output for feed (input name, array; the arrays' first axis the batch), as a
// device array. A network whose batch is fixed at 1 runs once per batch entry. With a GPU
// provider's compute stream the device arrays are bound where they lie and the output is written
// into a device array of the declared shape: nothing crosses to the host and the host does not
// wait. Elsewhere, or where the output's shape is not declared, through host arrays, one transfer
// each way.
inline nb::object run_first_output(nb::handle session,
                                   const std::vector<std::pair<nb::object, nb::object>> &feed) {
    const Cupy &cupy = cp();
    nb::object stream = compute_stream(session);
    int64_t batch = nb::cast<int64_t>(feed.front().second.attr("shape")[nb::int_(0)]);
    nb::object declared_batch = session.attr("get_inputs")()[nb::int_(0)].attr("shape")[nb::int_(0)];
    int64_t runs = PyLong_Check(declared_batch.ptr()) && nb::cast<int64_t>(declared_batch) == 1 ? batch : 1;
    auto entries = [&](nb::handle array, int64_t run) {
        return runs == 1 ? nb::borrow(array)
                         : nb::object(array[nb::slice(nb::int_(run), nb::int_(run + 1), nb::none())]);
    };
    nb::object shape, dtype;
    if (stream.is_none() || !declared_output(session, batch, shape, dtype)) {
        std::vector<nb::object> host;
        for (auto &item : feed) host.push_back(cupy.asnumpy(item.second));
        nb::list outputs;
        for (int64_t run = 0; run < runs; ++run) {
            nb::dict inputs;
            for (size_t k = 0; k < feed.size(); ++k) inputs[feed[k].first] = entries(host[k], run);
            nb::object first = session.attr("run")(nb::none(), inputs)[nb::int_(0)];
            if (assertions_enabled() && PyObject_IsInstance(first.ptr(), np().ndarray.ptr()) != 1)
                raise(PyExc_AssertionError, "Output of the model is not a numpy array.");
            outputs.append(first);
        }
        return cupy.asarray(runs == 1 ? nb::object(outputs[0]) : np().module.attr("concatenate")(outputs));
    }
    nb::object provider = session.attr("get_providers")()[nb::int_(0)];
    nb::object device_id =
        nb::int_(nb::str(session.attr("get_provider_options")()[provider].attr("get")("device_id", "0")));
    std::vector<nb::object> device;  // alive until the runs are queued
    for (auto &[name, array] : feed) {
        device.push_back(cupy.ascontiguousarray(cupy.asarray(array)));
        if (!device.back().attr("device").attr("id").equal(device_id))
            raise(PyExc_ValueError, "the model runs on device %S; its input %S lies on device %S",
                  device_id.ptr(), name.ptr(), nb::object(device.back().attr("device").attr("id")).ptr());
    }
    nb::object output = cupy.empty(shape, nb::arg("dtype") = dtype);
    nb::object output_name = session.attr("get_outputs")()[nb::int_(0)].attr("name");
    nb::object options = onnxruntime().get().attr("RunOptions")();
    options.attr("add_run_config_entry")("disable_synchronize_execution_providers", "1");
    auto bind = [&](nb::handle binding, const char *method, nb::handle name, nb::handle array) {
        binding.attr(method)(name, "cuda", device_id, array.attr("dtype").attr("type"), array.attr("shape"),
                             array.attr("data").attr("ptr"));
    };
    nb::object current = cupy.module.attr("cuda").attr("get_current_stream")();
    stream.attr("wait_event")(current.attr("record")());
    for (int64_t run = 0; run < runs; ++run) {
        nb::object binding = session.attr("io_binding")();
        for (size_t k = 0; k < feed.size(); ++k)
            bind(binding, "bind_input", feed[k].first, entries(device[k], run));
        bind(binding, "bind_output", output_name, entries(output, run));
        session.attr("run_with_iobinding")(binding, options);
    }
    current.attr("wait_event")(stream.attr("record")());
    return output;
}

inline nb::object session_arguments_entry(const Args &a) {
    return session_arguments(nb::cast<std::string>(a[0]));
}

// Publishes session_arguments on a module, so that what a session is given can be inspected
// where the installed runtime lacks the GPU providers.
inline void def_session_arguments(nb::module_ &m) {
    def(m, "session_arguments", session_arguments_entry, {{"device", "str"}}, "dict[str, object]",
        "The keyword arguments an InferenceSession gets for device: session_options (log levels 4), "
        "providers and provider_options. 'cuda:N' anywhere selects CUDA device N, 'cuda' CUDA, 'trt' "
        "TensorRT (2 GiB workspace, fp16 off, engine and timing caches in models/trt_engine_cache, "
        "sparsity on), anything else the CPU.");
}

// The parameters of the ONNX model classes' constructors, self first, then any of their own.
inline std::vector<Param> session_params(std::initializer_list<Param> more = {}) {
    std::vector<Param> params = {{"self"},
                                 {"model_path", "str | None", nb::none()},
                                 {"model_bytes", "bytes | None", nb::none()},
                                 {"device", "str", nb::str("cuda")}};
    params.insert(params.end(), more.begin(), more.end());
    return params;
}

// What the ONNX model classes' constructors share: the session of model_path or model_bytes
// (bytes win) with the providers `device` selects, stored as self.session; the model as parsed.
inline CheckedModel open_session(nb::handle self, const Args &a) {
    nb::dict kwargs = session_arguments(nb::cast<std::string>(a["device"]));
    CheckedModel model = checked_model(a["model_path"], a["model_bytes"]);
    self.attr("session") = create_session(model.source, kwargs);
    return model;
}

// The names of a session's inputs or outputs (get_inputs(), get_outputs()).
inline nb::list names_of(nb::handle tensors) {
    nb::list names;
    for (nb::handle t : tensors) names.append(t.attr("name"));
    return names;
}

}  // namespace quorvex::ort
