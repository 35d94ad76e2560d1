// Face restoration with an ONNX network at a fixed 512 x 512 (GFPGAN-style: RGB in -1 to 1).
#include <string>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/onnx_session.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// The network's (N, 3, H, W) RGB output in -1 to 1 back to (N, H, W, 3) BGR images in 0 to 1:
// clip, rescale, reorder and swap in one pass, four pixels a thread; image blockIdx.z.
const std::string restore_kernel_code = qv::element_types_code + std::string(
#include "quorvex/face/enhancer_restore_kernel.cuh.inc"
                                                                 );

nb::handle restore_kernel;

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    // a["*args"], further positional arguments, are ignored; session_arguments' options reach the session
    qv::ort::parsed_and_checked(a["model_file"]);
    self.attr("session") = qv::ort::create_session(a["model_file"], a["**kwargs"]);
    self.attr("input_size") = 512;
    return nb::none();
}

// The restored (N, 512, 512, 3) faces of an (N, H, W, 3) float32 batch.
nb::object restore(nb::handle self, nb::object images, int64_t density) {
    const qv::Cupy &cp = qv::cp();
    int64_t input_size = nb::cast<int64_t>(self.attr("input_size"));
    std::vector<int64_t> shape = qv::shape_of(images);
    int64_t count = shape[0], image_input_size = shape[2];  // the width; the height is not consulted
    auto interpolation = nb::arg("interpolation") = qv::sibling::inter_auto.get();
    // Resizing commutes with the red/blue swap, so the swap is left to the blob packing.
    if (density > 1) {
        int64_t side = image_input_size / density;
        images = qv::sibling::resize(images, nb::make_tuple(side, side), interpolation);
        shape[1] = shape[2] = side;
    }
    if (shape[1] != input_size || shape[2] != input_size)
        images = qv::sibling::resize(images, nb::make_tuple(input_size, input_size), interpolation);
    // (v - 0.5) * 2 as an (N, 3, 512, 512) RGB blob.
    nb::object blob =
        qv::sibling::to_blobs(nb::list(images), 2.0, nb::none(), nb::make_tuple(0.5, 0.5, 0.5), true);

    nb::object session = self.attr("session");
    nb::object input_name = session.attr("get_inputs")()[nb::int_(0)].attr("name");
    nb::object net_out = qv::ort::run_first_output(session, {{input_name, blob}});
    net_out = cp.ascontiguousarray(net_out, nb::arg("dtype") = cp.float32);
    std::vector<int64_t> out = qv::shape_of(net_out);
    if (out.size() != 4 || out[0] != count || out[1] != 3)
        qv::raise(PyExc_ValueError, "the restoration network must give a (%lld, 3, H, W) image, got %U",
                  (long long)count, qv::str_of(net_out.attr("shape")).ptr());
    qv::check_indexable(out, "network output");
    nb::object result = cp.empty(nb::make_tuple(count, out[2], out[3], 3), nb::arg("dtype") = cp.float32);
    qv::launch_plane_quads(restore_kernel, net_out, result, out[2] * out[3], count);
    return result;
}

nb::object get(const qv::Args &a) {
    nb::object image = qv::sibling::to_float32(a["image"]);
    std::vector<int64_t> shape = qv::shape_of(image);
    if (shape.size() != 3 || shape[2] != 3)
        qv::raise(PyExc_ValueError, "GFPGAN.get() takes a (height, width, 3) BGR image");
    return restore(a[0], image[nb::none()], nb::cast<int64_t>(a["density"]))[nb::int_(0)];
}

nb::object get_many(const qv::Args &a) {
    const qv::Cupy &cp = qv::cp();
    nb::handle images = a["images"];
    nb::object batch;
    if (qv::is_device_array(images)) {
        batch = qv::sibling::to_float32(images);
    } else {
        nb::list converted;
        for (nb::handle image : images) converted.append(qv::sibling::to_float32(image));
        if (!nb::len(converted)) qv::raise(PyExc_ValueError, "GFPGAN.get_many() takes at least one image");
        for (nb::handle image : converted)
            if (!qv::is_device_array(image) || !image.attr("shape").equal(converted[0].attr("shape")))
                qv::raise(PyExc_ValueError, "GFPGAN.get_many() takes device images of one shape");
        batch = cp.module.attr("stack")(converted);
    }
    std::vector<int64_t> shape = qv::shape_of(batch);
    if (shape.size() != 4 || shape[0] < 1 || shape[3] != 3)
        qv::raise(PyExc_ValueError,
                  "GFPGAN.get_many() takes (height, width, 3) BGR images or an (N, height, width, 3) "
                  "batch, got %U",
                  qv::str_of(batch.attr("shape")).ptr());
    return restore(a[0], batch, nb::cast<int64_t>(a["density"]));
}

}  // namespace

NB_MODULE(enhancer, m) {
    m.doc() = "Face restoration with an ONNX network at 512 x 512.";
    restore_kernel = qv::add_kernel(m, "restore_kernel", restore_kernel_code.c_str());
    qv::Class(m, "GFPGAN",
              "Restores BGR face crops with an ONNX face-restoration network (RGB, -1 to 1, 512 x 512).")
        .field("session", "ort.InferenceSession")
        .field("input_size", "int")
        .def("__init__", init, {{"self"}, {"model_file"}, {"*args"}, {"**kwargs"}}, "None",
             "A session on model_file (a path or model bytes); keyword arguments go to the session, further "
             "positional arguments are ignored. A GPU provider is given a compute stream of its own "
             "(user_compute_stream) unless the options name one.")
        .def("get", get, {{"self"}, {"image", "cp.ndarray"}, {"density", "int", nb::int_(1)}}, "np.ndarray",
             "The restored face, 512 x 512 x 3, BGR, float32 in 0 to 1 (a device array). density > 1 first "
             "shrinks the crop to a square of side width // density.")
        .def(
            "get_many", get_many,
            {{"self"}, {"images", "cp.ndarray | list[cp.ndarray]"}, {"density", "int", nb::int_(1)}},
            "cp.ndarray",
            "get() of each image (of one shape) or of an (N, H, W, 3) batch, in one run: an (N, 512, 512, 3) "
            "device array. On a GPU provider the device arrays are bound in place and nothing waits on the "
            "host.")
        .finish();
}
