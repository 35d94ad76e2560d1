// Face detection with a TensorRT engine of an anchor-based, distance-regressing network on a
// feature pyramid: per stride one score, four box distances and (for landmark models) ten
// landmark distances per anchor. The engine runs on the detector's own stream into buffers
// bound once; decoding, suppression and cropping turn its outputs into QvFace records.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "detector_arrays.hpp"
#include "quorvex/alignment.hpp"
#include "quorvex/function.hpp"
#include "quorvex/instance_lock.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/trt_engine.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

using namespace qv::detector;

// A decoded candidate: score, box (x1, y1, x2, y2), five landmarks, anchor number.
constexpr int kRow = 16;

// One thread per anchor of one stride: anchors scoring at least the threshold are decoded as
// the array version does (distances times the stride, rounded, then added to the anchor centre)
// and appended to rows; found counts them, also past the capacity. The row width is the host's.
const std::string decode_kernel_code = "#define QV_ROW " + std::to_string(kRow) + "\n" +
#include "quorvex/face/detector_decode_kernel.cuh.inc"
    ;

nb::handle decode_kernel;

nb::object init(const qv::Args &a) {
    return qv::trt::construct(a, kWhat, [](nb::handle self) {
        self.attr("input_size") = nb::make_tuple(640, 640);
        self.attr("center_cache") = nb::dict();
        self.attr("nms_thresh") = 0.4;
        self.attr("det_thresh") = 0.5;
        self.attr("input_mean") = 0.5;
        self.attr("input_std") = 0.5019607843137255;
        self.attr("initialize")();
    });
}

nb::object initialize(const qv::Args &a) {
    nb::handle self = a[0];
    qv::trt::Tensors tensors = qv::trt::allocate_buffers(self, kWhat);
    nb::dict d_inputs = nb::borrow<nb::dict>(self.attr("d_inputs"));
    nb::list outputs = tensors.outputs;
    self.attr("input_tensor") = qv::trt::first_or(tensors.inputs, "input");
    self.attr("output_names") = outputs;

    self.attr("use_kps") = false;
    self.attr("_anchor_ratio") = 1.0;
    self.attr("_num_anchors") = 1;
    size_t count = nb::len(outputs);
    if (count == 6 || count == 9) {
        self.attr("fmc") = 3;
        self.attr("_feat_stride_fpn") = nb::list(nb::make_tuple(8, 16, 32));
        self.attr("_num_anchors") = 2;
        self.attr("use_kps") = count == 9;
    } else if (count == 10 || count == 15) {
        self.attr("fmc") = 5;
        self.attr("_feat_stride_fpn") = nb::list(nb::make_tuple(8, 16, 32, 64, 128));
        self.attr("_num_anchors") = 1;
        self.attr("use_kps") = count == 15;
    }
    nb::object input_tensor = self.attr("input_tensor");
    if (d_inputs.contains(input_tensor)) {
        std::vector<int64_t> shape = qv::shape_of(d_inputs[input_tensor]);
        if (shape.size() >= 4 && shape[2] > 0 && shape[3] > 0)
            self.attr("input_size") = nb::make_tuple(shape[3], shape[2]);
    }
    self.attr("input_buffer") = nb::none();
    self.attr("output_buffer") = nb::none();
    return nb::none();
}

// The engine's outputs decoded into candidate rows by one launch per stride; the count and then
// the rows are read back (the only two transfers of a frame with faces).
std::vector<float> decode(nb::handle self, int64_t input_height, int64_t input_width, float threshold) {
    const qv::Cupy &cp = qv::cp();
    nb::list output_names = laid_out_outputs(self);
    nb::dict d_outputs = nb::borrow<nb::dict>(self.attr("d_outputs"));
    int64_t fmc = as_int(self.attr("fmc")), anchors = as_int(self.attr("_num_anchors"));
    bool use_kps = nb::cast<bool>(self.attr("use_kps"));
    auto output = [&](int64_t i, int64_t columns) {
        nb::object array = d_outputs[output_names[(size_t)i]];
        return cp.ascontiguousarray(array.attr("reshape")(-1, columns), nb::arg("dtype") = cp.float32);
    };
    std::vector<int64_t> strides;
    int64_t capacity = 0;
    for (nb::handle stride : self.attr("_feat_stride_fpn")) {
        strides.push_back(as_int(stride));
        capacity += (input_height / strides.back()) * (input_width / strides.back()) * anchors;
    }
    if (capacity >= (1 << 24)) qv::raise(PyExc_ValueError, "the face detection engine has too many anchors");
    nb::object rows =
        cp.empty(nb::make_tuple(std::max<int64_t>(capacity, 1), kRow), nb::arg("dtype") = cp.float32);
    nb::object found = cp.zeros(1, nb::arg("dtype") = cp.module.attr("int32"));
    int64_t first = 0;
    for (size_t level = 0; level < strides.size(); ++level) {
        int64_t stride = strides[level], width = input_width / stride;
        int64_t count = (input_height / stride) * width * anchors;
        nb::object scores = output(level, 1), boxes = output(level + fmc, 4);
        nb::object kps = use_kps ? output(level + 2 * fmc, 10) : boxes;
        if (qv::shape_of(scores)[0] < count || qv::shape_of(boxes)[0] < count ||
            (use_kps && qv::shape_of(kps)[0] < count))
            qv::raise(PyExc_ValueError,
                      "the face detection engine's outputs for stride %lld hold fewer than %lld anchors",
                      (long long)stride, (long long)count);
        if (count > 0)
            decode_kernel(nb::make_tuple((count + 255) / 256), nb::make_tuple(256),
                          nb::make_tuple(scores, boxes, kps, qv::i32(use_kps), qv::i32(count), qv::i32(width),
                                         qv::i32(anchors), qv::i32(stride), qv::f32(threshold),
                                         qv::i32(first), rows, qv::i32(capacity), found));
        first += count;
    }
    int64_t n = std::min<int64_t>(nb::cast<int64_t>(cp.asnumpy(found).attr("item")(0)), capacity);
    if (n == 0) return {};
    nb::object host = cp.asnumpy(rows[nb::slice(nb::int_(0), nb::int_(n), nb::none())]);
    std::vector<float> values((size_t)n * kRow);
    nb::bytes raw = nb::borrow<nb::bytes>(host.attr("tobytes")());
    std::memcpy(values.data(), raw.c_str(), values.size() * sizeof(float));
    return values;
}

// One detection: box, score and landmarks in frame pixels, the landmarks not clipped.
constexpr int kDetection = 15;

// The faces of a BGR float32 frame, kDetection floats each, in descending score order (after
// suppression and max_num), as get() selects them.
std::vector<float> detect_faces(nb::handle self, nb::handle frame, int64_t max_num, const std::string &metric,
                                const char *method) {
    const qv::Cupy &cp = qv::cp();
    nb::handle float32 = cp.float32;
    std::vector<int64_t> shape = qv::shape_of(frame);
    if (shape.size() != 3 || shape[2] != 3)
        qv::raise(PyExc_ValueError, "TrtFaceDetection.%s() takes a (height, width, 3) BGR image, got %U",
                  method, qv::str_of(frame.attr("shape")).ptr());
    int64_t image_height = shape[0], image_width = shape[1];
    auto [input_width, input_height] = input_size_of(self);
    double im_ratio = (double)image_height / image_width, model_ratio = (double)input_height / input_width;
    int64_t new_height, new_width;
    if (im_ratio > model_ratio) {
        new_height = input_height;
        new_width = (int64_t)(new_height / im_ratio);
    } else {
        new_width = input_width;
        new_height = (int64_t)(new_width * im_ratio);
    }
    float det_scale = (float)new_height / (float)image_height;
    nb::object resized = qv::sibling::resize(frame, nb::make_tuple(new_width, new_height));
    nb::object det_image = cp.zeros(nb::make_tuple(input_height, input_width, 3), nb::arg("dtype") = float32);
    det_image[nb::make_tuple(nb::slice(nb::none(), nb::int_(new_height), nb::none()),
                             nb::slice(nb::none(), nb::int_(new_width), nb::none()), nb::ellipsis())] =
        resized;
    double mean = as_double(self.attr("input_mean"));
    nb::object blob =
        qv::sibling::to_blob(det_image, nb::arg("scalefactor") = 1.0 / as_double(self.attr("input_std")),
                             nb::arg("size") = nb::make_tuple(input_height, input_width),
                             nb::arg("mean") = nb::make_tuple(mean, mean, mean), nb::arg("swapRB") = true);
    qv::trt::stage_input(self, blob, kWhat);
    qv::trt::execute(self, kWhat);
    std::vector<int64_t> blob_shape = qv::shape_of(blob);
    std::vector<float> found =
        decode(self, blob_shape[2], blob_shape[3], (float)as_double(self.attr("det_thresh")));
    size_t n = found.size() / kRow;
    if (n == 0) return {};

    // Descending scores; equal scores latest anchor first, as a stable ascending sort reversed.
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    auto at = [&](size_t i, int k) { return found[i * kRow + k]; };
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return at(x, 0) != at(y, 0) ? at(x, 0) > at(y, 0) : at(x, 15) > at(y, 15);
    });
    std::vector<float> pre_det(n * 5);
    for (size_t r = 0; r < n; ++r) {
        for (int k = 0; k < 4; ++k) pre_det[r * 5 + k] = at(order[r], 1 + k) / det_scale;
        pre_det[r * 5 + 4] = at(order[r], 0);
    }
    std::vector<int64_t> kept = suppress(pre_det, n, (float)as_double(self.attr("nms_thresh")));
    size_t count = kept.size();
    std::vector<int64_t> selected(count);
    std::iota(selected.begin(), selected.end(), 0);
    if (max_num > 0 && count > (size_t)max_num) {
        float centre_y = (float)(image_height / 2), centre_x = (float)(image_width / 2);
        std::vector<float> values(count);
        for (size_t i = 0; i < count; ++i) {
            const float *r = &pre_det[kept[i] * 5];
            float area = (r[2] - r[0]) * (r[3] - r[1]);
            float dx = (r[0] + r[2]) / 2.0f - centre_x, dy = (r[1] + r[3]) / 2.0f - centre_y;
            float offset_dist_squared = dx * dx + dy * dy;
            values[i] = metric == "max" ? area : area - offset_dist_squared * 2.0f;
        }
        std::stable_sort(selected.begin(), selected.end(),
                         [&](int64_t x, int64_t y) { return values[x] < values[y]; });
        std::reverse(selected.begin(), selected.end());
        selected.resize(max_num);
    }
    std::vector<float> detections;
    detections.reserve(selected.size() * kDetection);
    for (int64_t index : selected) {
        const float *box = &pre_det[kept[index] * 5];
        detections.insert(detections.end(), box, box + 5);
        for (int k = 0; k < 10; ++k) detections.push_back(at(order[kept[index]], 5 + k) / det_scale);
    }
    return detections;
}

// QvFace records of detections (kDetection floats each) in a BGR float32 frame: box, landmarks
// clipped at 0, and the crop_size crop aligned with the unclipped landmarks. A face whose
// landmarks admit no alignment is left out.
nb::list align_faces(nb::handle frame, const std::vector<float> &detections, int64_t crop_size) {
    const qv::Cupy &cp = qv::cp();
    nb::list results;
    size_t n = detections.size() / kDetection;
    // Per face on the host: the alignment at twice the crop size (for the warp) and the matrix of
    // the stored crop; a face that cannot be aligned is left out rather than failing the frame.
    // Halving a crop by area averaging puts its pixel j over the big crop's pixels 2j and 2j + 1,
    // so big-crop position u is small-crop position (u - 0.5) / 2.
    constexpr int kRecord = 20;  // box, landmarks clipped at 0, matrix
    std::vector<float> records;
    std::vector<double> big;
    std::vector<float> scores;
    double target[5][2];
    qv::template_of(crop_size * 2, target);
    for (size_t row = 0; row < n; ++row) {
        const float *d = &detections[row * kDetection];
        double points[5][2];
        for (int k = 0; k < 10; ++k) points[k / 2][k % 2] = d[5 + k];
        qv::Matrix m, inverse;
        if (!qv::fit_similarity(points, target, 5, m) || !qv::invert_affine(m, inverse)) continue;
        for (int k = 0; k < 4; ++k) records.push_back(d[k]);
        for (int k = 0; k < 10; ++k) records.push_back(std::max(d[5 + k], 0.0f));
        for (int k = 0; k < 6; ++k) records.push_back(((float)m[k] - (k % 3 == 2 ? 0.5f : 0.0f)) / 2.0f);
        big.insert(big.end(), m.begin(), m.end());
        scores.push_back(d[4]);
    }
    int64_t faces = (int64_t)scores.size();
    if (faces == 0) return results;
    if (faces > 65536)
        qv::raise(PyExc_ValueError, "TrtFaceDetection.align() takes at most 65536 faces, got %lld",
                  (long long)faces);
    nb::handle np = qv::np().module;
    nb::object host = np.attr("frombuffer")(
        nb::bytes(reinterpret_cast<const char *>(records.data()), records.size() * sizeof(float)),
        qv::np().float32);
    nb::object table = cp.asarray(host.attr("reshape")(faces, kRecord));
    nb::object matrices = np.attr("frombuffer")(
        nb::bytes(reinterpret_cast<const char *>(big.data()), big.size() * sizeof(double)), qv::np().float64);
    // All crops in one warp at twice the size, halved together: stacked, the crops are one tall
    // image whose rows pair within each crop.
    int64_t side = crop_size * 2;
    nb::object warped = qv::sibling::affine_transform_batch(frame, matrices.attr("reshape")(faces, 2, 3),
                                                            nb::make_tuple(side, side));
    nb::object crops = qv::sibling::resize(warped.attr("reshape")(faces * side, side, 3),
                                           nb::make_tuple(crop_size, faces * crop_size),
                                           nb::arg("interpolation") = qv::sibling::inter_auto.get())
                           .attr("reshape")(faces, crop_size, crop_size, 3);
    for (int64_t i = 0; i < faces; ++i) {
        nb::object record = table[nb::int_(i)];
        auto part = [&](int start, int stop) {
            return record[nb::slice(nb::int_(start), nb::int_(stop), nb::none())];
        };
        results.append(qv::sibling::QvFace(nb::arg("bbox") = part(0, 4), nb::arg("score") = scores[i],
                                           nb::arg("kps") = part(4, 14).attr("reshape")(5, 2),
                                           nb::arg("image") = crops[nb::int_(i)],
                                           nb::arg("matrix") = part(14, 20).attr("reshape")(2, 3)));
    }
    return results;
}

int64_t checked_crop_size(nb::handle value, const char *method) {
    int64_t crop_size = as_int(value);
    if (crop_size < 1 || crop_size > 8192)
        qv::raise(PyExc_ValueError, "TrtFaceDetection.%s() takes a crop_size from 1 to 8192, got %lld",
                  method, (long long)crop_size);
    return crop_size;
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    InstanceLock lock(self, true);
    int64_t crop_size = as_int(a["crop_size"]), max_num = as_int(a["max_num"]);
    std::string metric = nb::cast<std::string>(a["metric"]);
    // The frame is kept in BGR: the network's RGB order is taken when the blob is made.
    nb::object frame = qv::sibling::to_float32(a["image"]);
    std::vector<float> found = detect_faces(self, frame, max_num, metric, "get");
    if (found.empty() || !nb::cast<bool>(self.attr("use_kps")))
        return nb::list();  // without landmarks there is nothing to align
    return align_faces(frame, found, crop_size);
}

nb::object detect(const qv::Args &a) {
    nb::handle self = a[0];
    InstanceLock lock(self, true);
    nb::object frame = qv::sibling::to_float32(a["image"]);
    std::vector<float> found =
        detect_faces(self, frame, as_int(a["max_num"]), nb::cast<std::string>(a["metric"]), "detect");
    int64_t n = (int64_t)(found.size() / kDetection);
    nb::object host = qv::np().module.attr("frombuffer")(
        nb::bytes(reinterpret_cast<const char *>(found.data()), found.size() * sizeof(float)),
        qv::np().float32);
    return host.attr("reshape")(n, kDetection).attr("copy")();
}

nb::object align(const qv::Args &a) {
    nb::handle self = a[0];
    InstanceLock lock(self, true);
    nb::object frame = qv::sibling::to_float32(a["image"]);
    std::vector<int64_t> shape = qv::shape_of(frame);
    if (shape.size() != 3 || shape[2] != 3)
        qv::raise(PyExc_ValueError, "TrtFaceDetection.align() takes a (height, width, 3) BGR image, got %U",
                  qv::str_of(frame.attr("shape")).ptr());
    if (!qv::is_host_array(a["detections"]))
        qv::raise(PyExc_TypeError, "TrtFaceDetection.align() takes detections as a numpy.ndarray, got %s",
                  qv::type_name(a["detections"]));
    nb::object table =
        qv::np().module.attr("ascontiguousarray")(a["detections"], nb::arg("dtype") = qv::np().float32);
    std::vector<int64_t> rows = qv::shape_of(table);
    if (rows.size() != 2 || rows[1] != kDetection)
        qv::raise(PyExc_ValueError, "TrtFaceDetection.align() takes detections of shape (n, %d), got %U",
                  kDetection, qv::str_of(table.attr("shape")).ptr());
    std::vector<float> found((size_t)(rows[0] * kDetection));
    nb::bytes raw = nb::borrow<nb::bytes>(table.attr("tobytes")());
    std::memcpy(found.data(), raw.c_str(), found.size() * sizeof(float));
    for (float v : found)
        if (!std::isfinite(v))
            qv::raise(PyExc_ValueError, "TrtFaceDetection.align() takes finite detections");
    if (found.empty()) return nb::list();
    return align_faces(frame, found, checked_crop_size(a["crop_size"], "align"));
}

}  // namespace

NB_MODULE(detector, m) {
    m.doc() = "Face detection with a TensorRT engine, giving QvFace records with aligned crops.";
    decode_kernel = qv::add_kernel(m, "decode_kernel", decode_kernel_code.c_str());
    qv::Class(m, "TrtFaceDetection",
              "Runs an anchor-based face-detection engine (6, 9, 10 or 15 outputs) on BGR device frames.")
        .fields(qv::trt::kEngineFields)
        .field("input_size", "tuple[int, int]")
        .field("center_cache", "dict")
        .field("nms_thresh", "float")
        .field("det_thresh", "float")
        .field("input_mean", "float")
        .field("input_std", "float")
        .field("input_tensor", "str")
        .field("output_names", "list[str]")
        .field("use_kps", "bool")
        .def("__init__", init, qv::trt::engine_params(), "None",
             "Loads the engine (model_path wins over model_bytes) and binds its buffers.")
        .def("initialize", initialize, {{"self"}}, "None",
             "Creates the stream, allocates and binds one device buffer per I/O tensor and reads the output "
             "layout and input size from the engine.")
        .def("pre_process", pre_process, {{"self"}, {"image", "cp.ndarray"}}, "cp.ndarray",
             "Network input blob of an image of the input size: (v - 0.5) / (128 / 255).")
        .def(
            "forward", forward,
            {{"self"},
             {"image", "cp.ndarray"},
             {"threshold", "float"},
             {"clip_kps", "bool", nb::bool_(true)}},
            "tuple[list[cp.ndarray], list[cp.ndarray], list[cp.ndarray]]",
            "Runs the engine on an image of the input size; per stride, the scores, boxes (input pixels) and "
            "landmarks of the anchors scoring at least threshold; landmarks clipped at 0 (distance2kps), or "
            "as decoded with clip_kps False. The arrays share the output buffers' lifetime only until the "
            "next call.")
        .def("get", get,
             {{"self"},
              {"image", "cp.ndarray"},
              {"crop_size", "int", nb::int_(512)},
              {"max_num", "int", nb::int_(0)},
              {"metric", "str", nb::str("default")}},
             "list[QvFace]",
             "Faces of a BGR frame in descending score order.\n\n"
             "Alignment uses the landmarks before clipping, so faces cut by the frame's edges keep their "
             "shape; a face whose landmarks admit no alignment is left out.\n\n"
             "Args:\n"
             "    image: the BGR frame.\n"
             "    crop_size: the side of each face's square aligned crop.\n"
             "    max_num, metric: max_num > 0 keeps that many: the largest (metric 'max') or the largest "
             "nearest the centre (otherwise).\n\n"
             "Returns:\n"
             "    QvFace records, each with its box and landmarks in frame pixels (clipped at 0), the "
             "crop_size x crop_size aligned crop and the matrix mapping frame pixel centres onto the crop's.")
        .def("detect", detect,
             {{"self"},
              {"image", "cp.ndarray"},
              {"max_num", "int", nb::int_(0)},
              {"metric", "str", nb::str("default")}},
             "np.ndarray",
             "The faces get() finds, as a (n, 15) float32 host array in the same order: x1, y1, x2, y2, "
             "score and "
             "the five (x, y) landmarks, in frame pixels and not clipped; align() makes them QvFace records.")
        .def("align", align,
             {{"self"},
              {"image", "cp.ndarray"},
              {"detections", "np.ndarray"},
              {"crop_size", "int", nb::int_(512)}},
             "list[QvFace]",
             "QvFace records of detect()'s rows (their landmarks changed as the caller needs, smoothed over "
             "frames say), as get() gives them: all crops in one warp, a face whose landmarks admit no "
             "alignment left out. align(image, detect(image)) equals get(image).")
        .def("nms", nms, {{"self"}, {"dets"}}, "list[int]",
             "Greedy suppression of (n, 5) rows x1, y1, x2, y2, score: kept row indices, best first.")
        .def("distance2bbox", distance2bbox,
             {{"self"},
              {"points", "cp.ndarray"},
              {"distance", "cp.ndarray"},
              {"max_shape", nullptr, nb::none()}},
             "cp.ndarray", "Boxes (n, 4) from anchor centres and (left, top, right, bottom) distances.")
        .def("distance2kps", distance2kps,
             {{"self"},
              {"points", "cp.ndarray"},
              {"distance", "cp.ndarray"},
              {"max_shape", nullptr, nb::none()}},
             "cp.ndarray", "Landmarks (n, 10) from anchor centres and offsets, clipped to [0, bound].")
        .def(
            "crop", crop,
            {{"self"}, {"image", "cp.ndarray"}, {"kps", "cp.ndarray"}, {"size", "int", nb::int_(512)}},
            "tuple[cp.ndarray, cp.ndarray]",
            "Aligned size x size crop of a BGR float32 frame (aligned at twice the size, then halved by area "
            "averaging) and the matrix mapping frame pixel centres onto the crop's, as crop_from_kps at size "
            "would give it.")
        .finish();
}
