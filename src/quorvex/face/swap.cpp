// Identity swap: an ONNX network through ONNX Runtime takes a 128 x 128 target face crop and
// the source identity, projected into its latent space by the embedding map, and gives the
// swapped crop, handed back at the target crop's own size.
#include <cmath>
#include <string>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/onnx_session.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

constexpr int kSide = 128;  // the network's fixed resolution

// The source identity through the embedding map, and the result's length after it (latent[cols]),
// in one block: the host divides by the length once it has it, with the blob.
const char *swap_latent_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) swap_latent_kernel(const float* __restrict__ embedding,
                                                                     const float* __restrict__ emap,
                                                                     float* __restrict__ latent, int rows, int cols) {
    __shared__ float squares[256];
    float square_sum = 0.0f;
    for (int j = threadIdx.x; j < cols; j += 256) {
        float sum = 0.0f;
        for (int i = 0; i < rows; ++i) sum = fmaf(embedding[i], emap[(long long)i * cols + j], sum);
        latent[j] = sum;
        square_sum = fmaf(sum, sum, square_sum);
    }
    squares[threadIdx.x] = square_sum;
    __syncthreads();
    for (int half = 128; half > 0; half >>= 1) {
        if (threadIdx.x < half) squares[threadIdx.x] += squares[threadIdx.x + half];
        __syncthreads();
    }
    if (threadIdx.x == 0) latent[cols] = sqrtf(squares[0]);
}
)";

// The network's (1, 3, H, W) RGB output as an (H, W, 3) BGR image clipped to 0..1 (NaN stays NaN,
// as cupy.clip leaves it), in one pass.
const char *swap_output_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) swap_output_kernel(const float* __restrict__ planes,
                                                                     float* __restrict__ image, int width, int height) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int plane = width * height, at = y * width + x;
    for (int c = 0; c < 3; ++c) {
        float v = planes[(2 - c) * plane + at];
        image[at * 3 + c] = v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v;
    }
}
)";

nb::handle swap_latent_kernel, swap_output_kernel;

struct Siblings {
    nb::handle resize, inter_auto, to_blob, to_cupy, to_numpy, to_float32, load_emap;
};

const Siblings &siblings() {
    static qv::Once<Siblings> once;
    return once.get([] {
        return Siblings{
            qv::package_attr("quorvex.transform.resize", "resize").release(),
            qv::package_attr("quorvex.transform.resize", "INTER_AUTO").release(),
            qv::package_attr("quorvex.utils.blob", "to_blob").release(),
            qv::package_attr("quorvex.utils.dlpack", "to_cupy").release(),
            qv::package_attr("quorvex.utils.dlpack", "to_numpy").release(),
            qv::package_attr("quorvex.utils.dtypes", "to_float32").release(),
            qv::package_attr("quorvex.face.emap", "load_emap").release(),
        };
    });
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    nb::dict kwargs = qv::ort::session_arguments(nb::cast<std::string>(a[3]));
    nb::object session = qv::ort::create_session(qv::ort::checked_model(a[1], a[2]).source, kwargs);
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
    nb::object embedding = cp.ascontiguousarray(s.to_cupy(normed_embedding), nb::arg("dtype") = cp.float32).attr("ravel")();
    nb::object emap = cp.ascontiguousarray(self.attr("emap"), nb::arg("dtype") = cp.float32);
    std::vector<int64_t> map_shape = qv::shape_of(emap);
    int64_t embedding_size = nb::cast<int64_t>(embedding.attr("size"));
    if (map_shape.size() != 2 || map_shape[0] != embedding_size)
        qv::raise(PyExc_ValueError,
                  "FaceSwap.get() takes a source face whose normed_embedding has as many values as the embedding map "
                  "has rows; got %lld values and a map of shape %U",
                  (long long)embedding_size, qv::str_of(emap.attr("shape")).ptr());
    int64_t latent_size = map_shape[1];
    // The map changes the length, so the latent is normalised again; a zero identity would give NaN.
    nb::object latent = cp.empty(nb::make_tuple(latent_size + 1), nb::arg("dtype") = cp.float32);
    swap_latent_kernel(nb::make_tuple(1), nb::make_tuple(256),
                       nb::make_tuple(embedding, emap, latent, qv::i32(map_shape[0]), qv::i32(latent_size)));

    image = s.to_float32(image);
    nb::object shape = image.attr("shape");
    nb::object height = shape[nb::int_(0)], width = shape[nb::int_(1)];
    // Red and blue swapped, resized to the network's side, mean and scale, channels first: one pass.
    nb::object mean = self.attr("input_mean");
    nb::object blob = s.to_blob(image, nb::float_(1.0) / self.attr("input_std"), nb::make_tuple(kSide, kSide),
                                nb::make_tuple(mean, mean, mean), true);

    // ONNX Runtime takes host arrays: the blob, the latent and its length come back in one transfer.
    int64_t blob_size = nb::cast<int64_t>(blob.attr("size"));
    nb::object packed = cp.module.attr("concatenate")(nb::make_tuple(blob.attr("ravel")(), latent));
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
    nb::object net_out = cp.ascontiguousarray(s.to_cupy(outputs[nb::int_(0)]), nb::arg("dtype") = cp.float32);
    std::vector<int64_t> out_shape = qv::shape_of(net_out);
    if (out_shape.size() != 4 || out_shape[0] != 1 || out_shape[1] != 3 || out_shape[2] < 1 || out_shape[3] < 1)
        qv::raise(PyExc_ValueError, "FaceSwap.get(): the network gave an output of shape %U, not (1, 3, H, W)",
                  qv::str_of(net_out.attr("shape")).ptr());
    qv::check_indexable(out_shape, "the network's output");
    nb::object img_fake = cp.empty(nb::make_tuple(out_shape[2], out_shape[3], 3), nb::arg("dtype") = cp.float32);
    qv::launch_2d(swap_output_kernel, out_shape[3], out_shape[2],
                  nb::make_tuple(net_out, img_fake, qv::i32(out_shape[3]), qv::i32(out_shape[2])));
    if (nb::cast<int64_t>(width) == out_shape[3] && nb::cast<int64_t>(height) == out_shape[2]) return img_fake;
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
    swap_latent_kernel = qv::add_kernel(m, "swap_latent_kernel", swap_latent_kernel_code);
    swap_output_kernel = qv::add_kernel(m, "swap_output_kernel", swap_output_kernel_code);
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
