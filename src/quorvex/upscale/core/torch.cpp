// A PyTorch super-resolution or face-restoration network, recognised and built by spandrel from
// a checkpoint, run on whole BGR device images: RGB tensor in, BGR device image out.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/image.hpp"
#include "quorvex/interop.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import spandrel("spandrel");
qv::Import spandrel_extra_arches("spandrel_extra_arches");
qv::Import safetensors_torch("safetensors.torch");

// The extra architectures (CodeFormer among the face models) join spandrel's registry once,
// where that package is installed.
void install_extra_architectures() {
    static bool done = false;
    if (done) return;
    nb::handle extras = spandrel_extra_arches.try_get();
    if (extras.is_valid()) extras.attr("install")(nb::arg("ignore_duplicates") = true);
    done = true;
}

// `with torch.no_grad():` for the scope of a C++ block, restored on errors too.
class NoGrad {
public:
    NoGrad() : context_(qv::torch_module().get().attr("no_grad")()) { context_.attr("__enter__")(); }
    ~NoGrad() {
        try {
            context_.attr("__exit__")(nb::none(), nb::none(), nb::none());
        } catch (...) {
            PyErr_Clear();  // leaving the context must not mask the error being raised
        }
    }
    NoGrad(const NoGrad &) = delete;
    NoGrad &operator=(const NoGrad &) = delete;

private:
    nb::object context_;
};

// A safetensors file starts with the 8-byte length of its JSON header, whose first byte is '{'.
bool looks_like_safetensors(const std::string &head) { return head.size() >= 9 && head[8] == '{'; }

std::string file_head(nb::handle path) {
    nb::object file = quorvex::stdlib::io.get().attr("open")(path, "rb");
    nb::bytes head = nb::borrow<nb::bytes>(file.attr("read")(9));
    file.attr("close")();
    return std::string(head.c_str(), head.size());
}

// torch.load refusing a global the weights-only unpickler does not allow: the global's name
// ("posix.system"), empty for any other failure.
std::string refused_global(const nb::python_error &error) {
    std::string text = nb::cast<std::string>(nb::str(error.value()));
    for (const char *marker : {"GLOBAL ", "global: "}) {
        size_t at = text.find(marker);
        if (at == std::string::npos) continue;
        at += std::strlen(marker);
        size_t end = text.find_first_of(" \n\t,'\"", at);
        return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
    return {};
}

// The tensors of a checkpoint. Pickled checkpoints are read by torch's weights-only unpickler,
// which builds tensors and plain containers and nothing else, so a file cannot run code while
// it loads; full unpickling only when the caller trusts the file (trust_model).
nb::object load_state_dict(nb::handle model_path, nb::handle model_bytes, bool trust) {
    nb::handle torch = qv::torch_module().get();
    bool from_bytes = !model_bytes.is_none();
    std::string head;
    if (from_bytes) {
        nb::bytes data = nb::borrow<nb::bytes>(model_bytes);
        head.assign(data.c_str(), std::min<size_t>(data.size(), 9));
    } else {
        head = file_head(model_path);
    }
    if (looks_like_safetensors(head)) {
        nb::handle st = safetensors_torch.get();
        return from_bytes ? st.attr("load")(model_bytes) : st.attr("load_file")(model_path);
    }
    nb::object source =
        from_bytes ? quorvex::stdlib::io.get().attr("BytesIO")(model_bytes) : nb::borrow(model_path);
    try {
        return torch.attr("load")(source, nb::arg("weights_only") = !trust);
    } catch (nb::python_error &error) {
        if (trust) throw;
        nb::handle pickle_error = quorvex::stdlib::pickle.get().attr("UnpicklingError");
        if (!error.matches(pickle_error)) throw;
        std::string name = refused_global(error);
        if (name.empty()) throw;
        std::string what = from_bytes ? std::string("the checkpoint in model_bytes")
                                      : "checkpoint " + nb::cast<std::string>(nb::str(model_path));
        nb::object refusal =
            pickle_error(nb::str((what + ": it refers to " + name +
                                  ", which loading it in full would call, and a full load can run "
                                  "code from the file; pass trust_model=True only if you trust its "
                                  "source")
                                     .c_str()));
        refusal.attr("untrusted_global") = nb::str(name.c_str());
        PyErr_SetObject(pickle_error.ptr(), refusal.ptr());
        throw nb::python_error();
    }
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0], model_path = a["model_path"], model_bytes = a["model_bytes"],
               device = a["device"];
    nb::handle torch = qv::torch_module().get();
    if (model_bytes.is_none() && model_path.is_none())
        qv::raise(PyExc_ValueError, "Model or model_path must be provided");
    if (!PyBool_Check(a["trust_model"].ptr()))  // an int or a string would say yes by accident
        qv::raise(PyExc_TypeError, "Argument 'trust_model' has incorrect type (expected bool, got %s)",
                  qv::type_name(a["trust_model"]));
    nb::object state_dict = load_state_dict(model_path, model_bytes, a["trust_model"].is(Py_True));
    nb::handle loader_module = spandrel.get();
    install_extra_architectures();
    nb::object model = loader_module.attr("ModelLoader")().attr("load_from_state_dict")(state_dict);
    self.attr("model") = model;
    if (qv::assertions_enabled() &&
        PyObject_IsInstance(model.ptr(), loader_module.attr("ImageModelDescriptor").ptr()) != 1) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }

    std::string text = nb::cast<std::string>(device);
    nb::object device_id = nb::int_(0);
    if (text.find("cuda:") != std::string::npos) {
        // int() of what follows the last ":", with its own error for anything not a number.
        PyObject *ordinal = PyNumber_Long(nb::str(text.substr(text.rfind(':') + 1).c_str()).ptr());
        if (!ordinal) throw nb::python_error();
        device_id = nb::steal(ordinal);
    }
    self.attr("device_id") = device_id;
    self.attr("device") = torch.attr("device")(device);
    model.attr("to")(self.attr("device")).attr("eval")();
    for (const char *name : {"scale", "size_requirements", "tiling", "architecture", "purpose"})
        self.attr(name) = model.attr(name);
    return nb::none();
}

nb::object pre_process(const qv::Args &a) {
    nb::handle self = a[0];
    qv::DeviceScope scope(self.attr("device_id"));
    nb::object image = nb::borrow(a["input_image"]);
    if (self.attr("purpose").equal(nb::str("FaceSR"))) {
        // Face models are fed at their minimum size, squared. Those without one (minimum 0)
        // take any size and are left alone.
        nb::object required_size = self.attr("size_requirements").attr("minimum");
        if (nb::cast<int64_t>(required_size) > 0) {
            nb::object shape = image.attr("shape");
            if (!shape[nb::int_(0)].equal(required_size) || !shape[nb::int_(1)].equal(required_size))
                image = qv::sibling::resize(image, nb::make_tuple(required_size, required_size),
                                            nb::arg("interpolation") = qv::sibling::inter_auto.get());
        }
    }
    image = qv::sibling::to_float32(qv::sibling::bgr_to_rgb(image));
    return qv::sibling::to_tensor(image, nb::arg("device") = self.attr("device"));
}

nb::object post_process(const qv::Args &a) {
    nb::handle self = a[0];
    qv::DeviceScope scope(self.attr("device_id"));
    return qv::sibling::rgb_to_bgr(qv::sibling::to_cupy(a["output_tensor"]));
}

// GFPGAN and CodeFormer work on -1..1 images, yet spandrel's call hands them its 0..1 input as it
// is and clamps their -1..1 output to 0..1, which loses the darker half of every face. They run
// as their own inference does instead: 2x - 1 in, the image out of their tuple, (y + 1) / 2 out.
bool works_in_signed_range(nb::handle self) {
    nb::object id = self.attr("architecture").attr("id");
    return id.equal(nb::str("GFPGAN")) || id.equal(nb::str("CodeFormer"));
}

// The network on an (N, C, H, W) RGB 0..1 tensor, without gradient tracking: an (N, C', H', W')
// tensor in 0..1.
nb::object run_network(nb::handle self, nb::handle input) {
    NoGrad no_grad;
    if (!works_in_signed_range(self))
        // Through the descriptor: it applies the architecture's own call (face models return
        // tuples and some normalise their input), pads to the size requirements, cuts the
        // padding off again and keeps the result in 0..1.
        return self.attr("model")(input);
    nb::object shape = input.attr("shape");
    int64_t height = nb::cast<int64_t>(shape[nb::int_(2)]), width = nb::cast<int64_t>(shape[nb::int_(3)]);
    nb::object size = self.attr("size_requirements");
    if (!nb::cast<bool>(size.attr("check")(width, height)))
        qv::raise(PyExc_ValueError, "%U takes faces of sizes %U, got %lld x %lld",
                  qv::str_of(self.attr("architecture").attr("name")).ptr(), qv::str_of(size).ptr(),
                  (long long)width, (long long)height);
    nb::object output = self.attr("model").attr("model")(input.attr("mul")(2).attr("sub_")(1));
    if (PyTuple_Check(output.ptr())) output = output[nb::int_(0)];
    return output.attr("add_")(1).attr("mul_")(0.5).attr("clamp_")(0, 1);
}

nb::object get_one(const qv::Args &a) {
    nb::handle self = a[0];
    qv::DeviceScope scope(self.attr("device_id"));
    nb::object input_tensor = self.attr("pre_process")(a["image"]);
    nb::object output_tensor = run_network(self, input_tensor);
    return self.attr("post_process")(output_tensor);
}

// An (N, H, W, C) BGR batch (or a list of images of one shape) through the network in one run:
// an (N, H', W', C') BGR device batch. Face models get their images resized as pre_process does.
nb::object get_many(const qv::Args &a) {
    nb::handle self = a[0];
    const qv::Cupy &cp = qv::cp();
    qv::DeviceScope scope(self.attr("device_id"));
    nb::object batch;
    if (qv::is_device_array(a["images"])) {
        batch = nb::borrow(a["images"]);
    } else {
        nb::list images;
        for (nb::handle image : a["images"]) {
            if (!qv::is_device_array(image) ||
                (nb::len(images) && !image.attr("shape").equal(images[0].attr("shape"))))
                qv::raise(PyExc_ValueError, "TorchUpscaler.get_many() takes device images of one shape");
            images.append(image);
        }
        if (!nb::len(images))
            qv::raise(PyExc_ValueError, "TorchUpscaler.get_many() takes at least one image");
        batch = cp.module.attr("stack")(images);
    }
    std::vector<int64_t> shape = qv::shape_of(batch);
    if (shape.size() != 4 || !shape[0])
        qv::raise(PyExc_ValueError,
                  "TorchUpscaler.get_many() takes an (N, height, width, channels) batch, got %U",
                  qv::str_of(batch.attr("shape")).ptr());
    if (self.attr("purpose").equal(nb::str("FaceSR"))) {
        int64_t side = nb::cast<int64_t>(self.attr("size_requirements").attr("minimum"));
        if (side > 0 && (shape[1] != side || shape[2] != side))
            batch = qv::sibling::resize(batch, nb::make_tuple(side, side),
                                        nb::arg("interpolation") = qv::sibling::inter_auto.get());
    }
    batch = qv::sibling::to_float32(qv::sibling::bgr_to_rgb(batch));
    nb::object input =
        qv::device_to_tensor(batch).attr("to")(self.attr("device")).attr("permute")(0, 3, 1, 2);
    nb::object output = run_network(self, input).attr("permute")(0, 2, 3, 1).attr("contiguous")();
    return qv::sibling::rgb_to_bgr(qv::tensor_to_device(output));
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0], image = a["image"];
    if (!PyList_Check(image.ptr())) return self.attr("_get")(image);
    nb::list results;
    for (nb::handle item : image) results.append(self.attr("_get")(item));
    return results;
}

}  // namespace

NB_MODULE(torch, m) {
    m.doc() =
        "PyTorch super-resolution and face-restoration models, loaded through spandrel, on device images.";
    qv::Class(m, "TorchUpscaler",
              "Runs a spandrel-recognised image-to-image PyTorch model on whole BGR (H, W, C) device images.")
        .field("model", "spandrel.ImageModelDescriptor")
        .field("device_id", "int")
        .field("device", "torch.device")
        .def("__init__", init,
             {{"self"},
              {"model_path", "str | None", nb::none()},
              {"model_bytes", "bytes | None", nb::none()},
              {"device", "str", nb::str("cuda")},
              {"trust_model", "bool", nb::bool_(false)}},
             "None",
             "Loads a checkpoint, lets spandrel build the network, and moves it to device in inference "
             "mode.\n\n"
             "Args:\n"
             "    model_path, model_bytes: the checkpoint (model_bytes wins over model_path): safetensors, "
             "or a pickle read with torch.load weights_only=True, so loading runs no code from the file.\n"
             "    device: the torch device; device_id is the number after 'cuda:' (else 0).\n"
             "    trust_model: True allows the full unpickling old checkpoints may need.")
        .def("pre_process", pre_process, {{"self"}, {"input_image", "cp.ndarray"}}, "torch.Tensor",
             "(1, C, H, W) float32 RGB tensor on the model's device. Face models (purpose 'FaceSR') with a "
             "minimum size get the image resized to minimum x minimum first.")
        .def("post_process", post_process, {{"self"}, {"output_tensor", "torch.Tensor"}}, "cp.ndarray",
             "BGR (H, W, C) device image of a (1, C, H, W) RGB output tensor, values and element type "
             "unchanged.")
        .def("get", get, {{"self"}, {"image", "cp.ndarray | list[cp.ndarray]"}},
             "cp.ndarray | list[cp.ndarray]",
             "The model's output for one BGR device image, or a new list of outputs for a list, in order.")
        .def("get_many", get_many, {{"self"}, {"images", "cp.ndarray | list[cp.ndarray]"}}, "cp.ndarray",
             "An (N, H, W, C) BGR batch, or a list of device images of one shape, through the network in "
             "one run: an (N, H', W', C') BGR device batch. Face models get their images resized as "
             "pre_process does.")
        .def("_get", get_one, {{"self"}, {"image", "cp.ndarray"}}, "cp.ndarray",
             "pre_process, the model without gradient tracking, post_process.")
        .finish();
}
