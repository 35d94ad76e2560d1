// Identity swap: an ONNX network through ONNX Runtime takes a 128 x 128 target face crop and
// the source identity, projected into its latent space by the embedding map, and gives the
// swapped crop, handed back at the target crop's own size.
#include <cmath>
#include <string>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/onnx_session.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

constexpr int kSide = 128;  // the network's fixed resolution

struct Siblings {
    nb::handle bgr_to_rgb, rgb_to_bgr, resize, inter_auto, to_blob, to_cupy, to_numpy, to_float32, load_emap;
};

const Siblings &siblings() {
    static Siblings s{
        qv::package_attr("quorvex.color.bgr", "bgr_to_rgb").release(),
        qv::package_attr("quorvex.color.bgr", "rgb_to_bgr").release(),
        qv::package_attr("quorvex.transform.resize", "resize").release(),
        qv::package_attr("quorvex.transform.resize", "INTER_AUTO").release(),
        qv::package_attr("quorvex.utils.blob", "to_blob").release(),
        qv::package_attr("quorvex.utils.dlpack", "to_cupy").release(),
        qv::package_attr("quorvex.utils.dlpack", "to_numpy").release(),
        qv::package_attr("quorvex.utils.dtypes", "to_float32").release(),
        qv::package_attr("quorvex.face.emap", "load_emap").release(),
    };
    return s;
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    nb::dict kwargs = qv::ort::session_arguments(nb::cast<std::string>(a[3]));
    nb::object model = qv::ort::model_bytes(a[1], a[2]);
    nb::object session = qv::ort::create_session(model, kwargs);
    self.attr("session") = session;
    self.attr("emap") = siblings().load_emap();
    self.attr("input_mean") = 0.0;
    self.attr("input_std") = 1.0;
    nb::list input_names, output_names;
    nb::object inputs = session.attr("get_inputs")();
    for (nb::handle input : inputs) input_names.append(input.attr("name"));
    self.attr("input_names") = input_names;
    for (nb::handle output : session.attr("get_outputs")()) output_names.append(output.attr("name"));
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

nb::object get(const qv::Args &a) {
    nb::handle self = a[0], target_face = a[1], source_face = a[2];
    const Siblings &s = siblings();
    const qv::Cupy &cp = qv::cp();
    nb::object image = target_face.attr("image");
    qv::assert_true(!image.is_none());
    nb::object normed_embedding = source_face.attr("normed_embedding");
    qv::assert_true(!normed_embedding.is_none());

    // The network takes float32 only: crops and embeddings of other types are converted here.
    nb::object embedding = s.to_cupy(normed_embedding).attr("astype")(cp.float32);
    // The map changes the length, so the latent is normalised again; a zero identity would give NaN.
    nb::object latent = embedding.attr("reshape")(nb::make_tuple(1, -1));
    latent = cp.module.attr("dot")(latent, self.attr("emap")).attr("astype")(cp.float32);
    nb::object norm = cp.module.attr("linalg").attr("norm")(latent).attr("astype")(cp.float32);

    image = s.to_float32(image);
    nb::object shape = image.attr("shape");
    nb::object height = shape[nb::int_(0)], width = shape[nb::int_(1)];
    image = s.bgr_to_rgb(image);
    nb::object aimage = s.resize(image, nb::make_tuple(kSide, kSide), nb::arg("interpolation") = s.inter_auto);
    nb::object mean = self.attr("input_mean");
    nb::object blob = s.to_blob(aimage, nb::float_(1.0) / self.attr("input_std"), nb::make_tuple(kSide, kSide),
                                nb::make_tuple(mean, mean, mean));

    // ONNX Runtime takes host arrays: the blob, the latent and its length come back in one transfer.
    int64_t blob_size = nb::cast<int64_t>(blob.attr("size")), latent_size = nb::cast<int64_t>(latent.attr("size"));
    nb::object packed = cp.module.attr("concatenate")(
        nb::make_tuple(blob.attr("ravel")(), latent.attr("ravel")(), norm.attr("reshape")(1)));
    nb::object host = cp.asnumpy(packed);
    auto part = [&](int64_t start, int64_t stop) { return host[nb::slice(nb::int_(start), nb::int_(stop), nb::none())]; };
    nb::object host_norm = host[nb::int_(blob_size + latent_size)];
    double length = nb::cast<double>(nb::float_(host_norm));
    if (!(length > 0.0 && std::isfinite(length)))
        qv::raise(PyExc_ValueError,
                  "FaceSwap.get() takes a source face whose normed_embedding has a direction; through the embedding "
                  "map it has norm %R",
                  nb::float_(length).ptr());
    nb::object host_blob = part(0, blob_size).attr("reshape")(blob.attr("shape"));
    nb::object host_latent = part(blob_size, blob_size + latent_size).attr("reshape")(1, latent_size) / host_norm;
    nb::object outputs = self.attr("session").attr("run")(self.attr("output_names"),
                                                          feed_of(self, host_blob, host_latent));
    nb::object net_out = outputs[nb::int_(0)];

    nb::object img_fake = s.to_cupy(net_out).attr("transpose")(nb::make_tuple(0, 2, 3, 1))[nb::int_(0)];
    img_fake = cp.module.attr("clip")(img_fake, 0, 1).attr("astype")(cp.float32);
    img_fake = s.rgb_to_bgr(img_fake);
    return s.resize(img_fake, nb::make_tuple(width, height), nb::arg("interpolation") = s.inter_auto);
}

nb::object forward(const qv::Args &a) {
    nb::handle self = a[0];
    nb::object img = (a[1] - self.attr("input_mean")) / self.attr("input_std");
    nb::object outputs = self.attr("session").attr("run")(self.attr("output_names"), feed_of(self, img, a[2]));
    nb::object pred = outputs[nb::int_(0)];
    qv::assert_true(PyObject_IsInstance(pred.ptr(), qv::np().ndarray.ptr()) == 1);
    return pred;
}

}  // namespace

NB_MODULE(swap, m) {
    m.doc() = "Face identity swap with an ONNX network through ONNX Runtime, on 128 x 128 aligned face crops.";
    qv::ort::def_session_arguments(m);
    qv::Class(m, "FaceSwap", "Puts the identity of a source face into a target face crop.")
        .def("__init__", init,
             {{"self"},
              {"model_path", "str | None", nb::none()},
              {"model_bytes", "bytes | None", nb::none()},
              {"device", "str", nb::str("cuda")}},
             "None",
             "Creates the session (model_bytes wins over model_path) with the providers device selects (see "
             "session_arguments) and loads the embedding map. With device 'trt' the engine cache folder "
             "models/trt_engine_cache is created in the working directory.")
        .def("forward", forward, {{"self"}, {"img", "np.ndarray"}, {"latent", "np.ndarray"}}, "np.ndarray",
             "Runs the network on a packed NCHW host blob and a (1, D) host latent; returns its NCHW output.")
        .def("get", get, {{"self"}, {"target_face", "QvFace"}, {"source_face", "QvFace"}}, "cp.ndarray",
             "The target face's crop (BGR, 0..1) with the source face's identity, at the crop's own size: "
             "the crop is swapped at 128 x 128 and resized back; the output is clipped to 0..1. Crops of "
             "any element type (uint8, uint16 scaled to 0..1) and embeddings of any float type (host or "
             "device) are converted to float32; a normed_embedding that the map takes to zero (or to a "
             "non-finite latent) raises ValueError.")
        .finish();
}
