// ONNX Runtime sessions of the face models: the execution provider a device string selects,
// the model bytes, and the TensorRT provider's cache folder.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "quorvex/function.hpp"
#include "quorvex/model_file.hpp"
#include "quorvex/python.hpp"

namespace quorvex::ort {

inline Import &onnxruntime() {
    static Import module("onnxruntime", "install ONNX Runtime: pip install onnxruntime-gpu (or onnxruntime)");
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
    nb::module_ os = nb::module_::import_("os");
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

inline nb::object create_session(nb::handle model, nb::handle kwargs) {
    nb::object providers = kwargs["providers"];
    if (nb::len(providers) && nb::str(providers[nb::int_(0)]).equal(nb::str("TensorrtExecutionProvider")))
        make_cache_folder();
    nb::object session_type = onnxruntime().get().attr("InferenceSession");
    nb::tuple args = nb::make_tuple(model);
    nb::dict keywords = session_keywords(kwargs);
    PyObject *session = PyObject_Call(session_type.ptr(), args.ptr(), keywords.ptr());
    if (!session) throw nb::python_error();
    return nb::steal(session);
}

inline nb::object session_arguments_entry(const Args &a) { return session_arguments(nb::cast<std::string>(a[0])); }

// Publishes session_arguments on a module, so that what a session is given can be inspected
// where the installed runtime lacks the GPU providers.
inline void def_session_arguments(nb::module_ &m) {
    def(m, "session_arguments", session_arguments_entry, {{"device", "str"}}, "dict[str, object]",
        "The keyword arguments an InferenceSession gets for device: session_options (log levels 4), "
        "providers and provider_options. 'cuda:N' anywhere selects CUDA device N, 'cuda' CUDA, 'trt' "
        "TensorRT (2 GiB workspace, fp16 off, engine and timing caches in models/trt_engine_cache, "
        "sparsity on), anything else the CPU.");
}

}  // namespace quorvex::ort
