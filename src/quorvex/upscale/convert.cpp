// Model conversion for super-resolution: PyTorch checkpoints to ONNX (architecture recognised
// by spandrel) and ONNX models to serialized TensorRT engines, with an optimization profile for
// dynamic shapes or with the input rewritten to one fixed shape. Progress is printed as it goes;
// these steps take minutes and users follow them on the console. Export is convert_export.hpp,
// the reduced-precision graphs convert_precision.hpp; engine building is here.
#include <string>

#include "convert_export.hpp"
#include "convert_precision.hpp"
#include "convert_support.hpp"
#include "quorvex/function.hpp"
#include "quorvex/model_file.hpp"
#include "quorvex/temporary_file.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

using namespace qv::convert;

// ---------------------------------------------------------------- ONNX to TensorRT

struct Build {
    nb::object trt, builder, network, parser, config;
};

// Network creation flags: explicit batch where the release still has the flag (it is implied
// and ignored from TensorRT 10 on).
nb::object network_flags(nb::handle trt) {
    nb::object creation = trt.attr("NetworkDefinitionCreationFlag");
    if (!nb::hasattr(creation, "EXPLICIT_BATCH")) return nb::int_(0);
    nb::object bit = as_int(creation.attr("EXPLICIT_BATCH"));
    nb::object flags = nb::steal(PyNumber_Lshift(nb::int_(1).ptr(), bit.ptr()));
    if (!flags.is_valid()) throw nb::python_error();
    return flags;
}

void set_workspace(nb::handle trt, nb::handle config, nb::handle workspace) {
    if (nb::hasattr(config, "set_memory_pool_limit"))
        config.attr("set_memory_pool_limit")(trt.attr("MemoryPoolType").attr("WORKSPACE"), workspace);
    else
        config.attr("max_workspace_size") = workspace;  // TensorRT before 8.4
}

// ---------------------------------------------------------------- precision

// TensorRT 11 dropped the precision flags: its networks are strongly typed and take their
// precision from the types in the model.
bool strongly_typed(nb::handle trt) { return !nb::hasattr(trt.attr("BuilderFlag"), "FP16"); }

// `builder.<query>`, true where the release no longer has it (strongly typed releases leave
// the choice of kernels for a type to the builder).
bool platform_has(nb::handle builder, const char *query) {
    return !nb::hasattr(builder, query) || truthy(builder.attr(query));
}

// A precision this TensorRT cannot build is refused before anything is built, naming both.
void check_precision(nb::handle precision, bool dynamic) {
    nb::handle trt = tensorrt.get();
    std::string mode = nb::cast<std::string>(precision);
    nb::object version = trt.attr("__version__");
    if (strongly_typed(trt) && mode == "int8")
        qv::raise(PyExc_RuntimeError,
                  "TensorRT %U cannot build precision 'int8' from a floating-point model: it has no INT8 "
                  "builder flag and builds int8 only from models quantized with Q/DQ nodes (build those "
                  "with precision 'fp32')",
                  qv::str_of(version).ptr());
    if (dynamic && !strongly_typed(trt) && mode == "bf16" && !nb::hasattr(trt.attr("BuilderFlag"), "BF16"))
        qv::raise(PyExc_RuntimeError,
                  "TensorRT %U cannot build precision 'bf16' (it has no BF16 builder flag); use 'fp16' or "
                  "'fp32', or a TensorRT release from 9 on",
                  qv::str_of(version).ptr());
}

// The builder flag for a precision where the device is fast at it, first match wins: the dynamic
// path falls back to TF32, the fixed one sets no flag and knows no BF16.
const char *precision_flag(nb::handle builder, const std::string &mode, bool dynamic) {
    if (mode == "fp16" && platform_has(builder, "platform_has_fast_fp16")) return "FP16";
    if (dynamic && mode == "bf16" && platform_has(builder, "platform_has_fast_fp16")) return "BF16";
    if (mode == "int8" && platform_has(builder, "platform_has_fast_int8")) return "INT8";
    return dynamic ? "TF32" : nullptr;
}

// The model bytes TensorRT is to parse for a precision: on a strongly typed TensorRT, a half or
// bfloat16 build converts the graph first (its side files, checked, read in); elsewhere the
// flags do it and the bytes stay.
nb::object for_precision(nb::handle model, nb::handle onnx_path, const char *flag) {
    nb::handle trt = tensorrt.get();
    bool reduce = strongly_typed(trt) && flag && (std::string(flag) == "FP16" || std::string(flag) == "BF16");
    if (reduce) {
        nb::handle path = quorvex::stdlib::os.get().attr("path");
        onnx_module.get()
            .attr("external_data_helper")
            .attr("load_external_data_for_model")(model,
                                                  path.attr("dirname")(path.attr("abspath")(onnx_path)));
        const char *target = std::string(flag) == "FP16" ? "FLOAT16" : "BFLOAT16";
        say("TensorRT ", trt.attr("__version__"),
            " takes precision from the model's types: converting the graph to ", target,
            " (inputs and outputs keep theirs)");
        qv::precision::reduce_precision(model, target);
    }
    return model.attr("SerializeToString")();
}

// Logger, builder, network and parser.
Build start() {
    Build b;
    b.trt = nb::borrow(tensorrt.get());
    nb::object logger = b.trt.attr("Logger")(b.trt.attr("Logger").attr("WARNING"));
    b.builder = b.trt.attr("Builder")(logger);
    b.network = b.builder.attr("create_network")(network_flags(b.trt));
    b.parser = b.trt.attr("OnnxParser")(b.network, logger);
    return b;
}

// Parses `model_bytes` (errors to stderr, then `parse_failure`) and makes the builder config
// with its workspace. The parser finds the model's side files beside `onnx_path`.
void parse_and_configure(Build &b, nb::handle model_bytes, nb::handle onnx_path, nb::handle workspace,
                         const char *parse_failure) {
    nb::object path = quorvex::stdlib::os.get().attr("fspath")(onnx_path);
    if (!truthy(b.parser.attr("parse")(model_bytes, path))) {
        nb::object stderr_ = quorvex::stdlib::sys.get().attr("stderr");
        long count = nb::cast<long>(b.parser.attr("num_errors"));
        for (long i = 0; i < count; ++i) qv::print(b.parser.attr("get_error")(i), nb::arg("file") = stderr_);
        qv::raise(PyExc_RuntimeError, "%s", parse_failure);
    }
    b.config = b.builder.attr("create_builder_config")();
    set_workspace(b.trt, b.config, workspace);
}

// Sets the precision's flag where this TensorRT has it (a strongly typed one took the
// precision from the converted graph instead).
void set_flag(const Build &b, const char *flag) {
    if (!flag || !nb::hasattr(b.trt.attr("BuilderFlag"), flag)) return;
    b.config.attr("set_flag")(b.trt.attr("BuilderFlag").attr(flag));
}

// The serialized engine, or None.
nb::object build_serialized(const Build &b) {
    if (nb::hasattr(b.builder, "build_serialized_network"))
        return b.builder.attr("build_serialized_network")(b.network, b.config);
    nb::object engine = b.builder.attr("build_engine")(b.network, b.config);  // before TensorRT 8
    return engine.is_none() ? engine : nb::object(engine.attr("serialize")());
}

// Writes the engine under a temporary name beside the target and renames it into place, so that
// a reader never sees half an engine and a failed write leaves no file.
void write_engine(nb::handle engine_path, nb::handle data) {
    nb::handle os = quorvex::stdlib::os.get();
    nb::object path = os.attr("path");
    nb::object target = os.attr("fspath")(engine_path);
    nb::object folder = path.attr("dirname")(path.attr("abspath")(target));
    auto [temporary, fd] = qv::create_temporary(folder, path.attr("basename")(target), ".part", engine_path);
    try {
        nb::object file;
        try {
            file = quorvex::stdlib::io.get().attr("open")(fd, "wb");
        } catch (...) {
            os.attr("close")(fd);  // the file object would have owned it
            throw;
        }
        within(file, [&] {
            file.attr("write")(data);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        });
        os.attr("replace")(temporary, target);
    } catch (...) {
        try {
            os.attr("unlink")(temporary);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// Builds, writes and confirms the engine; `failure` is the message when TensorRT returns nothing.
void build_and_save(const Build &b, nb::handle engine_path, const char *failure, const char *success) {
    nb::object serialized = build_serialized(b);
    if (serialized.is_none()) qv::raise(PyExc_RuntimeError, "%s", failure);
    write_engine(engine_path, serialized);
    if (!truthy(quorvex::stdlib::os.get().attr("path").attr("exists")(engine_path)))
        qv::raise(PyExc_RuntimeError, "Failed to save TensorRT engine to %U", qv::str_of(engine_path).ptr());
    say(success, engine_path);
}

// (minimum, optimal, maximum): exactly three ints.
void check_requirements(nb::handle value, const char *name) {
    bool ok = PyTuple_GET_SIZE(value.ptr()) == 3;
    for (Py_ssize_t i = 0; ok && i < 3; ++i) ok = PyLong_CheckExact(PyTuple_GET_ITEM(value.ptr(), i));
    if (!ok)
        qv::raise(PyExc_ValueError,
                  "%s must be a tuple of three integers (minimum, optimal, maximum), got %R", name,
                  value.ptr());
}

void print_transformer_help() {
    for (const char *line : {
             "\n\U0001f50d DETECTED: Transformer/Attention model incompatibility",
             "   Your model appears to use Transformer operations (DAT, SwinIR, etc.)",
             "   that are not well supported by TensorRT.",
             "\n\u2705 RECOMMENDED SOLUTIONS:",
             "   1. \U0001f680 Use PyTorch inference instead (fastest option):",
             "      - Load model with spandrel and use model_desc(image)",
             "   2. \U0001f4e6 Try ONNX Runtime for inference:",
             "      - onnxruntime-gpu provides good performance",
             "   3. \U0001f504 Convert to simpler architecture:",
             "      - Try ESRGAN, RealESRGAN, or EDSR models",
             "      - These CNN-based models work better with TensorRT",
         })
        say(line);
}

void print_generic_help(nb::handle workspace) {
    say("   1. Try using onnx_to_trt_fixed_shape() with a fixed input size");
    say("   2. Reduce workspace size further (current: ", mebibytes(workspace), "MB)");
    for (const char *line : {
             "   3. Try FP32 precision instead of FP16",
             "   4. Check if model operations are supported by TensorRT",
             "   5. Consider using smaller size_requirements:",
             "      - size_requirements=(64, 128, 256)",
             "      - Or fixed shape like (1, 3, 256, 256)",
         })
        say(line);
}

nb::object onnx_to_trt_dynamic_shape(const qv::Args &a) {
    nb::handle onnx_path = a["onnx_path"], engine_path = a["engine_path"], precision = a["precision"],
               workspace = a["workspace"];
    nb::handle size_requirements = a["size_requirements"], batch_requirements = a["batch_requirements"];
    check_requirements(size_requirements, "size_requirements");
    check_requirements(batch_requirements, "batch_requirements");
    check_precision(precision, true);
    auto item = [](nb::handle t, int i) { return nb::borrow(PyTuple_GET_ITEM(t.ptr(), i)); };

    say("Building TensorRT engine for upscale model from ONNX model: ", onnx_path);
    say("\u26a0\ufe0f  WARNING: Transformer-based upscale models may not be compatible with TensorRT");
    say("Size requirements: min=", item(size_requirements, 0), ", opt=", item(size_requirements, 1),
        ", max=", item(size_requirements, 2));
    say("Batch requirements: min=", item(batch_requirements, 0), ", opt=", item(batch_requirements, 1),
        ", max=", item(batch_requirements, 2));

    on_exception(
        [&] {
            nb::object model = qv::load_onnx_checked(onnx_path);
            Build b = start();
            const char *flag = precision_flag(b.builder, nb::cast<std::string>(precision), true);
            parse_and_configure(b, for_precision(model, onnx_path, flag), onnx_path, workspace,
                                "Failed to parse the ONNX model");
            set_flag(b, flag);

            nb::object profile = b.builder.attr("create_optimization_profile")();
            nb::object input = b.network.attr("get_input")(0);
            nb::object name = input.attr("name"), shape = input.attr("shape");
            say("Input tensor name: ", name);
            say("Input tensor shape: ", shape);
            nb::list shape_list, dynamic_dims;
            for (nb::handle d : shape) shape_list.append(as_int(d));
            for (size_t i = 0; i < nb::len(shape_list); ++i)
                if (nb::cast<long long>(shape_list[i]) == -1) dynamic_dims.append(nb::int_(i));
            say("Shape list: ", shape_list);
            say("Dynamic dimensions detected at axes: ", dynamic_dims);

            if (nb::len(dynamic_dims) > 0) {
                nb::list min_shape, opt_shape, max_shape;
                for (size_t i = 0; i < nb::len(shape_list); ++i) {
                    nb::object d = shape_list[i];
                    if (nb::cast<long long>(d) != -1) {
                        min_shape.append(d), opt_shape.append(d), max_shape.append(d);
                    } else if (i == 1) {
                        // A dynamic channel axis: grayscale to RGBA, RGB preferred.
                        min_shape.append(1), opt_shape.append(3), max_shape.append(4);
                    } else {
                        nb::handle bounds = i == 0 ? batch_requirements : size_requirements;
                        min_shape.append(item(bounds, 0)), opt_shape.append(item(bounds, 1));
                        max_shape.append(item(bounds, 2));
                    }
                }
                say("Optimization profile set:");
                say("  Min shape: ", min_shape);
                say("  Opt shape: ", opt_shape);
                say("  Max shape: ", max_shape);
                profile.attr("set_shape")(name, min_shape, opt_shape, max_shape);
                b.config.attr("add_optimization_profile")(profile);
            } else {
                say("No dynamic dimensions found - no optimization profile needed");
            }

            say("Building TensorRT engine... This may take several minutes.");
            build_and_save(b, engine_path, "Engine build failed - no bytes returned",
                           "\u2705 TensorRT upscale engine saved to: ");
        },
        [&](nb::python_error &e) {
            nb::str text = qv::str_of(e.value());
            std::string error_msg = nb::cast<std::string>(text.attr("lower")());
            say("\u274c TensorRT engine build failed: ", text);
            say("\n\U0001f4a1 Troubleshooting suggestions:");
            bool transformer = false;
            for (const char *keyword : {"transpose", "reshape", "gather", "attention", "foreignnode"})
                transformer = transformer || error_msg.find(keyword) != std::string::npos;
            if (transformer)
                print_transformer_help();
            else
                print_generic_help(workspace);
            nb::raise_from(e, PyExc_RuntimeError, "TensorRT build failed. See suggestions above. Error: %U",
                           text.ptr());
        });
    return nb::none();
}

nb::object onnx_to_trt_fixed_shape(const qv::Args &a) {
    nb::handle onnx_path = a["onnx_path"], engine_path = a["engine_path"], fixed_shape = a["fixed_shape"],
               precision = a["precision"], workspace = a["workspace"];
    check_precision(precision, false);
    say("Building TensorRT engine with fixed shape from ONNX model: ", onnx_path);
    say("Fixed input shape: ", fixed_shape);

    nb::handle onnx = onnx_module.get();
    nb::object model = qv::load_onnx_checked(onnx_path);
    nb::object input = model.attr("graph").attr("input")[nb::int_(0)];
    nb::object tensor_type = input.attr("type").attr("tensor_type");
    nb::list original_shape;
    for (nb::handle dim : tensor_type.attr("shape").attr("dim")) {
        nb::object value = dim.attr("dim_value");
        original_shape.append(nb::cast<long long>(value) > 0 ? value : nb::int_(-1));
    }
    say("Original ONNX input shape: ", original_shape);

    tensor_type.attr("ClearField")("shape");
    nb::object dims = tensor_type.attr("shape").attr("dim");
    for (nb::handle d : fixed_shape) dims.attr("add")().attr("dim_value") = d;
    say("Modified ONNX input to fixed shape: ", fixed_shape);

    on_exception(
        [&] {
            onnx.attr("checker").attr("check_model")(model);
            say("\u2713 Modified ONNX model is valid");
        },
        [&](nb::python_error &e) { say("\u26a0 ONNX model validation warning: ", qv::str_of(e.value())); });

    Build b = start();
    const char *flag = precision_flag(b.builder, nb::cast<std::string>(precision), false);
    parse_and_configure(b, for_precision(model, onnx_path, flag), onnx_path, workspace,
                        "Failed to parse the modified ONNX model");
    nb::object input_tensor = b.network.attr("get_input")(0);
    say("TensorRT input tensor name: ", input_tensor.attr("name"));
    say("TensorRT input shape: ", input_tensor.attr("shape"));
    set_flag(b, flag);

    say("Using fixed shape - no optimization profile required");
    build_and_save(b, engine_path, "Engine build failed",
                   "\u2705 TensorRT engine with fixed shape saved to: ");
    return nb::none();
}

nb::object onnx_to_trt(const qv::Args &a) {
    nb::handle onnx_path = a["onnx_path"], engine_path = a["engine_path"], input_shape = a["input_shape"],
               precision = a["precision"], workspace = a["workspace"];
    nb::handle size_requirements = a["size_requirements"], batch_requirements = a["batch_requirements"];
    bool fixed = !input_shape.is_none();
    if (!fixed) {
        // Refused before anything is printed, like the builder's own arguments.
        check_requirements(size_requirements, "size_requirements");
        check_requirements(batch_requirements, "batch_requirements");
    }
    say("Converting ONNX to TensorRT: ", onnx_path, " \u2192 ", engine_path);
    // Through the module, as a caller replacing a builder would expect.
    nb::module_ self = nb::module_::import_("quorvex.upscale.convert");
    if (fixed) {
        say("\U0001f512 Using FIXED shape mode: ", input_shape);
        say("\u26a0\ufe0f  WARNING: Fixed shape may not work with Transformer-based models");
        on_exception(
            [&] {
                self.attr("onnx_to_trt_fixed_shape")(
                    nb::arg("onnx_path") = onnx_path, nb::arg("engine_path") = engine_path,
                    nb::arg("fixed_shape") = input_shape, nb::arg("precision") = precision,
                    nb::arg("workspace") = workspace);
            },
            [&](nb::python_error &e) {
                say("\n\u274c Fixed shape conversion failed: ", qv::str_of(e.value()));
                say("\U0001f4a1 Suggestion: Try dynamic shape mode instead");
                say("   Remove input_shape parameter or set it to None");
                throw;
            });
    } else {
        say("\U0001f504 Using DYNAMIC shape mode");
        say("\u26a0\ufe0f  WARNING: Transformer-based models may not be compatible with TensorRT");
        on_exception(
            [&] {
                self.attr("onnx_to_trt_dynamic_shape")(
                    nb::arg("onnx_path") = onnx_path, nb::arg("engine_path") = engine_path,
                    nb::arg("precision") = precision, nb::arg("workspace") = workspace,
                    nb::arg("size_requirements") = size_requirements,
                    nb::arg("batch_requirements") = batch_requirements);
            },
            [&](nb::python_error &e) {
                say("\n\u274c Dynamic shape conversion failed: ", qv::str_of(e.value()));
                say("\U0001f4a1 Suggestion: Try fixed shape mode instead");
                say("   Use input_shape=(1, 3, 512, 512) for example");
                throw;
            });
    }
    say("\n\u2705 TensorRT conversion completed successfully!");
    say("   Engine saved to: ", engine_path);
    say("   Mode: ", fixed ? "Fixed" : "Dynamic", " shape");
    say("   Precision: ", precision);
    say("   Workspace: ", mebibytes(workspace), "MB");
    return nb::none();
}

nb::object load_onnx(const qv::Args &a) { return qv::load_onnx_checked(a["model"]); }

}  // namespace

NB_MODULE(convert, m) {
    m.doc() =
        "Conversions for super-resolution models: PyTorch checkpoints to ONNX, ONNX to TensorRT engines.";
    qv::def(m, "torch_to_onnx", torch_to_onnx,
            {{"model_path", "str"},
             {"onnx_path", "str"},
             {"input_shape", "tuple | None", nb::none()},
             {"dynamic_axes", "dict | None", nb::none()},
             {"opset_version", "int", nb::int_(20)},
             {"precision", "str", nb::str("fp32")},
             {"device", "str", nb::str("cuda")}},
            "None",
            "Exports a checkpoint whose architecture spandrel recognises to ONNX, input 'input', output "
            "'output'. Without input_shape and dynamic_axes, batch, height and width are dynamic and the "
            "trace uses a 1x3x128x128 input. precision 'fp16' or 'bf16' traces under autocast to that type.");
    qv::def(m, "onnx_to_trt_dynamic_shape", onnx_to_trt_dynamic_shape,
            {{"onnx_path", "str"},
             {"engine_path", "str"},
             {"precision", "str", nb::str("fp16")},
             {"workspace", "int", nb::int_(1073741824)},
             {"size_requirements", "tuple[int, int, int]", nb::make_tuple(16, 512, 2048)},
             {"batch_requirements", "tuple[int, int, int]", nb::make_tuple(1, 1, 1)}},
            "None",
            "Builds a TensorRT engine whose dynamic input axes get an optimization profile.\n\n"
            "A dynamic channel axis gets channels 1 to 4.\n\n"
            "Args:\n"
            "    onnx_path: the ONNX model.\n"
            "    engine_path: where the engine is saved.\n"
            "    precision: 'fp16', 'bf16', 'int8' where the device is fast at it, else TF32; TensorRT 11 "
            "(strongly typed) gets the graph converted to half or bfloat16 instead, inputs and outputs "
            "keeping their types, and refuses 'int8'.\n"
            "    workspace: TensorRT's workspace memory pool limit, in bytes.\n"
            "    size_requirements: height and width (minimum, optimal, maximum).\n"
            "    batch_requirements: batch (minimum, optimal, maximum).\n\n"
            "Raises:\n"
            "    RuntimeError: the build failed; suggestions are printed first.");
    qv::def(m, "onnx_to_trt_fixed_shape", onnx_to_trt_fixed_shape,
            {{"onnx_path", "str"},
             {"engine_path", "str"},
             {"fixed_shape", "tuple", nb::make_tuple(1, 3, 512, 512)},
             {"precision", "str", nb::str("fp16")},
             {"workspace", "int", nb::int_(1073741824)}},
            "None",
            "Builds a TensorRT engine with the model's input rewritten to fixed_shape (batch, channels, "
            "height, width). precision: 'fp16' or 'int8' where the device is fast at it, else the default; "
            "TensorRT 11 gets the graph converted to half for 'fp16' and refuses 'int8'.");
    qv::def(m, "onnx_to_trt", onnx_to_trt,
            {{"onnx_path", "str"},
             {"engine_path", "str"},
             {"input_shape", "tuple | None", nb::none()},
             {"precision", "str", nb::str("fp16")},
             {"workspace", "int", nb::int_(536870912)},
             {"size_requirements", "tuple[int, int, int]", nb::make_tuple(16, 512, 2048)},
             {"batch_requirements", "tuple[int, int, int]", nb::make_tuple(1, 1, 1)}},
            "None",
            "Builds a TensorRT engine with a fixed input shape when input_shape is given, else with "
            "dynamic shapes; a failure prints a suggestion for the other mode and is raised again.");
    qv::def(m, "load_onnx", load_onnx, {{"model", "str | os.PathLike | bytes"}}, "onnx.ModelProto",
            "Parses an ONNX model (a path, or bytes) without reading its side files, and raises ValueError "
            "when one of them (external data) does not resolve, links followed, to a file inside the "
            "model's folder (for bytes, the working directory).");
}
