// PyTorch checkpoints to ONNX: the architecture recognised by spandrel, exported by
// torch.onnx.export with dynamic batch and image axes. Part of quorvex.upscale.convert.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "convert_support.hpp"
#include "quorvex/function.hpp"
#include "quorvex/model_file.hpp"
#include "quorvex/temporary_file.hpp"

namespace quorvex::convert {

inline nb::dict default_dynamic_axes() {
    nb::dict axes;
    for (const char *name : {"input", "output"}) {
        nb::dict per_axis;
        per_axis[nb::int_(0)] = "batch_size";
        per_axis[nb::int_(2)] = "height";
        per_axis[nb::int_(3)] = "width";
        axes[name] = per_axis;
    }
    return axes;
}

// The parameters torch.onnx.export takes, by name (none when it has no signature).
inline nb::dict export_parameters(nb::handle export_fn) {
    try {
        nb::object parameters =
            quorvex::stdlib::inspect.get().attr("signature")(export_fn).attr("parameters");
        return nb::cast<nb::dict>(quorvex::stdlib::builtins.get().attr("dict")(parameters));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return nb::dict();
    }
}

inline nb::object torch_to_onnx(const qv::Args &a) {
    nb::handle model_path = a["model_path"], onnx_path = a["onnx_path"], opset_version = a["opset_version"],
               precision = a["precision"], device = a["device"];
    nb::object input_shape = nb::borrow(a["input_shape"]), dynamic_axes = nb::borrow(a["dynamic_axes"]);

    say("Exporting PyTorch model to ONNX: ", model_path, " \u2192 ", onnx_path);
    say("Precision: ", precision, ", Device: ", device);

    // A second registration raises by default, which would fail every export after the first in
    // a process (and any after another module registered them).
    extra_arches.get().attr("install")(nb::arg("ignore_duplicates") = true);
    nb::object model = spandrel.get().attr("ModelLoader")().attr("load_from_file")(model_path).attr("model");

    nb::handle torch = qv::torch_module().get();
    nb::object torch_device = torch.attr("device")(device);
    model = model.attr("to")(torch_device);
    model.attr("eval")();

    std::string mode = nb::cast<std::string>(precision);
    nb::object dtype = torch.attr(mode == "fp16" ? "float16" : mode == "bf16" ? "bfloat16" : "float32");

    if (dynamic_axes.is_none() && input_shape.is_none()) dynamic_axes = default_dynamic_axes();
    if (input_shape.is_none()) input_shape = nb::make_tuple(1, 3, 128, 128);
    say("Input shape: ", input_shape);
    say("Dynamic axes: ", dynamic_axes);

    // autocast takes a device type ("cuda"), not a device ("cuda:1").
    nb::object autocast = torch.attr("autocast")(torch_device.attr("type"), nb::arg("dtype") = dtype);
    within(autocast, [&] {
        nb::object dummy_input = torch.attr("randn")(input_shape, nb::arg("device") = device);
        on_exception(
            [&] {
                nb::object export_fn = torch.attr("onnx").attr("export");
                nb::dict accepted = export_parameters(export_fn);
                nb::dict kwargs;
                kwargs["opset_version"] = opset_version;
                kwargs["export_params"] = true;
                kwargs["do_constant_folding"] = true;
                nb::list input_names, output_names;
                input_names.append("input"), output_names.append("output");
                kwargs["input_names"] = input_names;
                kwargs["output_names"] = output_names;
                kwargs["dynamic_axes"] = dynamic_axes;
                if (accepted.contains("optimize")) kwargs["optimize"] = true;
                // The traced exporter is the one that takes dynamic_axes as given and writes
                // one self-contained file; newer releases default to another one that needs
                // onnxscript and puts the weights in a second file, which TensorRT's parser,
                // fed bytes, cannot find.
                if (accepted.contains("dynamo")) kwargs["dynamo"] = false;
                nb::object args = nb::make_tuple(model, dummy_input, onnx_path);
                PyObject *result = PyObject_Call(export_fn.ptr(), args.ptr(), kwargs.ptr());
                if (!result) throw nb::python_error();
                Py_DECREF(result);
                say("\u2705 ONNX model exported to: ", onnx_path);
            },
            [&](nb::python_error &e) {
                nb::str text = qv::str_of(e.value());
                say("\u274c ONNX export failed: ", text);
                if (contains(text, "fp16") || contains(text.attr("lower")(), "half")) {
                    say("\U0001f4a1 Suggestion: Try exporting with fp32 precision to avoid type issues");
                    say("   Use precision='fp32' parameter");
                }
                throw;
            });
    });
    return nb::none();
}

}  // namespace quorvex::convert
