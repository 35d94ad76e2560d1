// Identity swap: an ONNX network through ONNX Runtime takes a 128 x 128 target face crop and
// the source identity, projected into its latent space by the embedding map, and gives the
// swapped crop, handed back at the target crop's own size.
#include <cmath>
#include <string>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/onnx_session.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

constexpr int kSide = 128;  // the network's fixed resolution

// The source identity through the embedding map, and the result's length after it (latent[cols]),
// in one block: the host divides by the length once it has it, with the blob.
const char *swap_latent_kernel_code =
#include "quorvex/face/swap_latent_kernel.cuh.inc"
    ;

// The network's (N, 3, H, W) RGB output as (N, H, W, 3) BGR images clipped to 0..1 (NaN stays NaN,
// as cupy.clip leaves it), in one pass, four pixels a thread; image blockIdx.z.
const std::string swap_output_kernel_code = qv::element_types_code + std::string(
#include "quorvex/face/swap_output_kernel.cuh.inc"
                                                                     );

nb::handle swap_latent_kernel, swap_output_kernel;

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    qv::ort::open_session(self, a);
    nb::object session = self.attr("session");
    self.attr("emap") = qv::sibling::load_emap(a["emap_path"]);
    self.attr("input_mean") = 0.0;
    self.attr("input_std") = 1.0;
    nb::object inputs = session.attr("get_inputs")();
    self.attr("input_names") = qv::ort::names_of(inputs);
    nb::list output_names = qv::ort::names_of(session.attr("get_outputs")());
    self.attr("output_names") = output_names;
    qv::assert_true(nb::len(output_names) == 1);
    nb::object shape = inputs[nb::int_(0)].attr("shape");
    self.attr("input_shape") = shape;
    self.attr("input_size") = qv::ort::input_size_of(shape);
    return nb::none();
}

nb::dict feed_of(nb::handle self, nb::handle image, nb::handle latent) {
    nb::object names = self.attr("input_names");
    nb::dict feed;
    feed[names[nb::int_(0)]] = image;
    feed[names[nb::int_(1)]] = latent;
    return feed;
}

// The source identity through the embedding map, on the device: latent[:cols] and its length
// latent[cols], not yet divided by it.
nb::object unnormed_latent(nb::handle self, nb::handle source_face, const char *function) {
    const qv::Cupy &cp = qv::cp();
    nb::object normed_embedding = source_face.attr("normed_embedding");
    qv::assert_true(!normed_embedding.is_none());
    // The network takes float32 only: embeddings of other types are converted here.
    nb::object embedding =
        cp.ascontiguousarray(qv::sibling::to_cupy(normed_embedding), nb::arg("dtype") = cp.float32)
            .attr("ravel")();
    nb::object emap = cp.ascontiguousarray(self.attr("emap"), nb::arg("dtype") = cp.float32);
    std::vector<int64_t> map_shape = qv::shape_of(emap);
    int64_t embedding_size = nb::cast<int64_t>(embedding.attr("size"));
    if (map_shape.size() != 2 || map_shape[0] != embedding_size)
        qv::raise(PyExc_ValueError,
                  "%s takes a source face whose normed_embedding has as many values as the embedding map "
                  "has rows; got %lld values and a map of shape %U",
                  function, (long long)embedding_size, qv::str_of(emap.attr("shape")).ptr());
    // The map changes the length, so the latent is normalised again; a zero identity would give NaN.
    nb::object latent = cp.empty(nb::make_tuple(map_shape[1] + 1), nb::arg("dtype") = cp.float32);
    swap_latent_kernel(nb::make_tuple(1), nb::make_tuple(256),
                       nb::make_tuple(embedding, emap, latent, qv::i32(map_shape[0]), qv::i32(map_shape[1])));
    return latent;
}

double checked_length(nb::handle length, const char *function) {
    double value = nb::cast<double>(nb::float_(length));
    if (!(value > 0.0 && std::isfinite(value)))
        qv::raise(PyExc_ValueError,
                  "%s takes a source face whose normed_embedding has a direction; through the embedding "
                  "map it has norm %R",
                  function, nb::float_(value).ptr());
    return value;
}

// The network's (N, 3, H, W) output as N swapped BGR crops at width x height.
nb::object swapped_crops(nb::handle output, nb::handle width, nb::handle height, int64_t count,
                         const char *function) {
    const qv::Cupy &cp = qv::cp();
    nb::object net_out = cp.ascontiguousarray(qv::sibling::to_cupy(output), nb::arg("dtype") = cp.float32);
    std::vector<int64_t> out_shape = qv::shape_of(net_out);
    if (out_shape.size() != 4 || out_shape[0] != count || out_shape[1] != 3 || out_shape[2] < 1 ||
        out_shape[3] < 1)
        qv::raise(PyExc_ValueError, "%s: the network gave an output of shape %U, not (%lld, 3, H, W)",
                  function, qv::str_of(net_out.attr("shape")).ptr(), (long long)count);
    qv::check_indexable(out_shape, "the network's output");
    nb::object crops =
        cp.empty(nb::make_tuple(count, out_shape[2], out_shape[3], 3), nb::arg("dtype") = cp.float32);
    qv::launch_plane_quads(swap_output_kernel, net_out, crops, out_shape[2] * out_shape[3], count);
    if (nb::cast<int64_t>(width) == out_shape[3] && nb::cast<int64_t>(height) == out_shape[2]) return crops;
    return qv::sibling::resize(crops, nb::make_tuple(width, height),
                               nb::arg("interpolation") = qv::sibling::inter_auto.get());
}

nb::object latent_of(nb::handle self, nb::handle source_face) {
    nb::object values = qv::cp().asnumpy(unnormed_latent(self, source_face, "FaceSwap.latent()"));
    int64_t size = nb::cast<int64_t>(values.attr("size")) - 1;
    nb::object length = values[nb::int_(size)];
    checked_length(length, "FaceSwap.latent()");
    return values[nb::slice(nb::int_(0), nb::int_(size), nb::none())].attr("reshape")(1, size) / length;
}

// The crops of target_faces as float32 images of one size.
nb::list target_crops(nb::handle target_faces, const char *function) {
    if (!PySequence_Check(target_faces.ptr()) || nb::len(target_faces) == 0)
        qv::raise(PyExc_ValueError, "%s takes a non-empty sequence of target faces", function);
    nb::list crops;
    for (nb::handle face : target_faces) {
        nb::object image = face.attr("image");
        if (image.is_none())
            qv::raise(PyExc_ValueError, "%s takes target faces with their crop (image)", function);
        image = qv::sibling::to_float32(image);
        if (nb::len(crops) && !image.attr("shape").equal(crops[0].attr("shape")))
            qv::raise(PyExc_ValueError, "%s takes crops of one size, got %U and %U", function,
                      qv::str_of(crops[0].attr("shape")).ptr(), qv::str_of(image.attr("shape")).ptr());
        crops.append(image);
    }
    if (qv::shape_of(crops[0]).size() != 3)
        qv::raise(PyExc_ValueError, "%s takes (height, width, 3) crops, got %U", function,
                  qv::str_of(crops[0].attr("shape")).ptr());
    return crops;
}

nb::object latent(const qv::Args &a) { return latent_of(a[0], a["source_face"]); }

nb::object swap_many(nb::handle self, nb::handle target_faces, nb::handle source_latent) {
    const char *function = "FaceSwap.get_many()";
    const qv::Cupy &cp = qv::cp();
    nb::list crops = target_crops(target_faces, function);
    int64_t count = (int64_t)nb::len(crops);
    nb::object shape = crops[0].attr("shape");
    nb::object latent = nb::borrow(source_latent);
    int64_t latent_size = qv::shape_of(self.attr("emap")).back();
    if (!qv::is_device_array(latent) && PyObject_IsInstance(latent.ptr(), qv::np().ndarray.ptr()) != 1)
        qv::raise(PyExc_TypeError, "%s takes latent as an array (from FaceSwap.latent()), got %s", function,
                  qv::type_name(latent));
    if (nb::cast<int64_t>(latent.attr("size")) != latent_size)
        qv::raise(PyExc_ValueError, "%s takes a latent of %lld values (from FaceSwap.latent()), got shape %U",
                  function, (long long)latent_size, qv::str_of(latent.attr("shape")).ptr());
    nb::handle xp = qv::is_device_array(latent) ? cp.module : qv::np().module;
    latent = xp.attr("ascontiguousarray")(latent.attr("reshape")(1, latent_size),
                                          nb::arg("dtype") = xp.attr("float32"));

    // Red and blue swapped, resized to the network's side, mean and scale, channels first: one pass.
    nb::object mean = self.attr("input_mean");
    nb::object blob =
        qv::sibling::to_blobs(crops, nb::float_(1.0) / self.attr("input_std"), nb::make_tuple(kSide, kSide),
                              nb::make_tuple(mean, mean, mean), true);
    // All faces in one run where the network takes a batch; one run each where its batch is 1.
    nb::object names = self.attr("input_names");
    nb::object latents = count == 1 ? latent : xp.attr("repeat")(latent, count, nb::arg("axis") = 0);
    nb::object output = qv::ort::run_first_output(
        self.attr("session"), {{names[nb::int_(0)], blob}, {names[nb::int_(1)], latents}});
    return swapped_crops(output, shape[nb::int_(1)], shape[nb::int_(0)], count, function);
}

nb::object get_many(const qv::Args &a) { return swap_many(a[0], a["target_faces"], a["latent"]); }

nb::object get(const qv::Args &a) {
    nb::handle self = a[0], target_face = a["target_face"], source_face = a["source_face"];
    const char *function = "FaceSwap.get()";
    // A GPU provider takes device arrays: the latent's check is the one wait.
    if (!qv::ort::compute_stream(self.attr("session")).is_none())
        return swap_many(self, nb::make_tuple(target_face), latent_of(self, source_face))[nb::int_(0)];
    const qv::Cupy &cp = qv::cp();
    nb::object image = target_face.attr("image");
    qv::assert_true(!image.is_none());
    nb::object latent = unnormed_latent(self, source_face, "FaceSwap.get()");
    int64_t latent_size = nb::cast<int64_t>(latent.attr("size")) - 1;

    // Crops of any element type are converted to float32.
    image = qv::sibling::to_float32(image);
    nb::object shape = image.attr("shape");
    nb::object mean = self.attr("input_mean");
    nb::object blob =
        qv::sibling::to_blob(image, nb::float_(1.0) / self.attr("input_std"), nb::make_tuple(kSide, kSide),
                             nb::make_tuple(mean, mean, mean), true);

    // The CPU provider takes host arrays: the blob, the latent and its length come back in one transfer.
    int64_t blob_size = nb::cast<int64_t>(blob.attr("size"));
    nb::object host = cp.asnumpy(cp.module.attr("concatenate")(nb::make_tuple(blob.attr("ravel")(), latent)));
    auto part = [&](int64_t start, int64_t stop) {
        return host[nb::slice(nb::int_(start), nb::int_(stop), nb::none())];
    };
    nb::object host_norm = host[nb::int_(blob_size + latent_size)];
    checked_length(host_norm, function);
    nb::object host_blob = part(0, blob_size).attr("reshape")(blob.attr("shape"));
    nb::object host_latent =
        part(blob_size, blob_size + latent_size).attr("reshape")(1, latent_size) / host_norm;
    nb::object outputs =
        self.attr("session").attr("run")(self.attr("output_names"), feed_of(self, host_blob, host_latent));
    return swapped_crops(outputs[nb::int_(0)], shape[nb::int_(1)], shape[nb::int_(0)], 1,
                         function)[nb::int_(0)];
}

nb::object forward(const qv::Args &a) {
    nb::handle self = a[0];
    nb::object img = (a["img"] - self.attr("input_mean")) / self.attr("input_std");
    nb::object outputs =
        self.attr("session").attr("run")(self.attr("output_names"), feed_of(self, img, a["latent"]));
    nb::object pred = outputs[nb::int_(0)];
    qv::assert_true(PyObject_IsInstance(pred.ptr(), qv::np().ndarray.ptr()) == 1);
    return pred;
}

}  // namespace

NB_MODULE(swap, m) {
    m.doc() =
        "Face identity swap with an ONNX network through ONNX Runtime, on 128 x 128 aligned face crops.";
    qv::ort::def_session_arguments(m);
    swap_latent_kernel = qv::add_kernel(m, "swap_latent_kernel", swap_latent_kernel_code);
    swap_output_kernel = qv::add_kernel(m, "swap_output_kernel", swap_output_kernel_code.c_str());
    qv::Class(m, "FaceSwap", "Puts the identity of a source face into a target face crop.")
        .field("session", "ort.InferenceSession")
        .field("emap", "cp.ndarray")
        .field("input_mean", "float")
        .field("input_std", "float")
        .field("input_names", "list[str]")
        .field("output_names", "list[str]")
        .field("input_shape", "list")
        .field("input_size", "tuple[int, int]")
        .def("__init__", init,
             qv::ort::session_params({{"emap_path", "str | os.PathLike | None", nb::none()}}), "None",
             "Creates the session (model_bytes wins over model_path) with the providers device selects (see "
             "session_arguments) and loads the embedding map (from emap_path if given, else where "
             "quorvex.face.emap.emap_path() says). With device 'trt' the engine cache folder "
             "models/trt_engine_cache is created in the working directory.")
        .def("forward", forward, {{"self"}, {"img", "np.ndarray"}, {"latent", "np.ndarray"}}, "np.ndarray",
             "Runs the network on a packed NCHW host blob and a (1, D) host latent; returns its NCHW output.")
        .def("get", get, {{"self"}, {"target_face", "QvFace"}, {"source_face", "QvFace"}}, "cp.ndarray",
             "The target face's crop (BGR, 0..1) with the source face's identity, at the crop's own size.\n\n"
             "Args:\n"
             "    target_face: the face whose crop is swapped; crops of any element type (uint8, uint16 "
             "scaled to 0..1) are converted to float32.\n"
             "    source_face: the face whose normed_embedding gives the identity; embeddings of any float "
             "type (host or device) are converted to float32.\n\n"
             "Returns:\n"
             "    The crop swapped at 128 x 128 and resized back to its own size, clipped to 0..1.\n\n"
             "Raises:\n"
             "    ValueError: a normed_embedding that the map takes to zero (or to a non-finite latent).")
        .def("latent", latent, {{"self"}, {"source_face", "QvFace"}}, "np.ndarray",
             "The source face's identity as the network takes it: its normed_embedding through the embedding "
             "map, normalised again, as a (1, D) float32 host array. Raises ValueError as get() does.")
        .def("get_many", get_many,
             {{"self"},
              {"target_faces", "list[QvFace] | tuple[QvFace, ...]"},
              {"latent", "np.ndarray | cp.ndarray"}},
             "cp.ndarray",
             "get() for the crops of several faces (of one size) and a source's latent(): an (N, height, "
             "width, "
             "3) device array, equal to N calls of get(). The faces go through the network in one run where "
             "it "
             "takes a batch (one run each where its batch is 1); on a GPU provider the device arrays are "
             "bound "
             "in place and nothing waits on the host.")
        .finish();
}
