// The detector's array methods, as the array version of the network's decoding has them:
// pre_process, forward (one inference and the per-stride candidate lists), distance2bbox,
// distance2kps, nms and crop, with the helpers they share with the fused path of detector.cpp
// (get, detect and align), which decodes on the device instead.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "quorvex/function.hpp"
#include "quorvex/instance_lock.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/trt_engine.hpp"

namespace quorvex::detector {

namespace qv = quorvex;
namespace nb = nanobind;

inline constexpr const char *kWhat = "face detection";
inline constexpr size_t kMaxCachedCentres = 100;

// One call at a time per instance: the engine's bound buffers and its execution context belong
// to the instance, so a second thread waits until the first has staged, run and read its outputs.
using qv::InstanceLock;

inline double as_double(nb::handle value) {
    PyObject *number = PyNumber_Float(value.ptr());
    if (!number) throw nb::python_error();
    double result = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return result;
}

inline int64_t as_int(nb::handle value) { return nb::cast<int64_t>(value); }

// (width, height) of the network input.
inline std::pair<int64_t, int64_t> input_size_of(nb::handle self) {
    nb::object size = self.attr("input_size");
    return {as_int(size[nb::int_(0)]), as_int(size[nb::int_(1)])};
}

// Greedy suppression with the inclusive-pixel convention, in float32 like the array version.
// Rows are few (candidates above the threshold), so they are read to the host once.
inline std::vector<int64_t> suppress(const std::vector<float> &rows, size_t count, float threshold) {
    auto at = [&](size_t i, int k) { return rows[i * 5 + k]; };
    std::vector<float> areas(count);
    for (size_t i = 0; i < count; ++i) areas[i] = (at(i, 2) - at(i, 0) + 1.0f) * (at(i, 3) - at(i, 1) + 1.0f);
    std::vector<int64_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return at(a, 4) < at(b, 4); });
    std::reverse(order.begin(), order.end());

    std::vector<int64_t> keep;
    while (!order.empty()) {
        int64_t i = order.front();
        keep.push_back(i);
        std::vector<int64_t> rest;
        for (size_t r = 1; r < order.size(); ++r) {
            int64_t j = order[r];
            float xx1 = std::max(at(i, 0), at(j, 0)), yy1 = std::max(at(i, 1), at(j, 1));
            float xx2 = std::min(at(i, 2), at(j, 2)), yy2 = std::min(at(i, 3), at(j, 3));
            float w = std::max(0.0f, xx2 - xx1 + 1.0f), h = std::max(0.0f, yy2 - yy1 + 1.0f);
            float inter = w * h;
            float overlap = inter / (areas[i] + areas[j] - inter);
            if (overlap <= threshold) rest.push_back(j);
        }
        order.swap(rest);
    }
    return keep;
}

inline std::vector<float> host_floats(nb::handle device_array) {
    nb::object host = qv::cp().asnumpy(device_array).attr("astype")(qv::np().float32).attr("ravel")();
    std::vector<float> values;
    values.reserve(nb::len(host));
    nb::object list = host.attr("tolist")();
    for (nb::handle v : list) values.push_back((float)nb::cast<double>(v));
    return values;
}

// The engine's output names, where initialize() recognised their layout (fmc set): engines of
// other output counts construct, and fail here with a message instead of at a missing attribute.
inline nb::list laid_out_outputs(nb::handle self) {
    nb::list output_names = nb::borrow<nb::list>(self.attr("output_names"));
    if (!PyObject_HasAttrString(self.ptr(), "fmc"))
        qv::raise(
            PyExc_ValueError,
            "the face detection engine has %zd outputs; engines with 6, 9, 10 or 15 outputs are supported",
            (Py_ssize_t)nb::len(output_names));
    return output_names;
}

inline nb::object pre_process(const qv::Args &a) {
    nb::handle self = a[0];
    double mean = as_double(self.attr("input_mean"));
    auto [width, height] = input_size_of(self);
    // input_size is (width, height) while the blob size is read (height, width).
    return qv::sibling::to_blob(a["image"], nb::arg("scalefactor") = 1.0 / as_double(self.attr("input_std")),
                                nb::arg("size") = nb::make_tuple(height, width),
                                nb::arg("mean") = nb::make_tuple(mean, mean, mean));
}

inline nb::object distance2bbox(const qv::Args &a) {
    const qv::Cupy &cp = qv::cp();
    nb::object points = a["points"].attr("astype")(cp.float32),
               distance = a["distance"].attr("astype")(cp.float32);
    nb::handle max_shape = a["max_shape"];
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    auto column = [&](nb::handle array, int i) { return array[nb::make_tuple(all, i)]; };
    nb::object x1 = column(points, 0) - column(distance, 0);
    nb::object y1 = column(points, 1) - column(distance, 1);
    nb::object x2 = column(points, 0) + column(distance, 2);
    nb::object y2 = column(points, 1) + column(distance, 3);
    if (!max_shape.is_none()) {
        nb::object width = max_shape[nb::int_(1)], height = max_shape[nb::int_(0)];
        x1 = x1.attr("clip")(0, width), y1 = y1.attr("clip")(0, height);
        x2 = x2.attr("clip")(0, width), y2 = y2.attr("clip")(0, height);
    }
    return cp.module.attr("stack")(nb::make_tuple(x1, y1, x2, y2), nb::arg("axis") = -1);
}

// All landmark columns at once: point coordinates repeated per landmark, plus the distances.
inline nb::object decode_kps(nb::handle points_in, nb::handle distance_in) {
    const qv::Cupy &cp = qv::cp();
    nb::object points = points_in.attr("astype")(cp.float32),
               distance = distance_in.attr("astype")(cp.float32);
    int64_t columns = qv::shape_of(distance).back();
    nb::object repeated = cp.module.attr("tile")(points, nb::make_tuple(1, (columns + 1) / 2));
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    return repeated[nb::make_tuple(all, nb::slice(nb::int_(0), nb::int_(columns), nb::none()))] + distance;
}

// The decoded landmarks clipped at 0 and at the bounds (infinite without max_shape), so they are
// never negative.
inline nb::object distance2kps(const qv::Args &a) {
    const qv::Cupy &cp = qv::cp();
    nb::handle max_shape = a["max_shape"];
    nb::object values = decode_kps(a["points"], a["distance"]);
    int64_t columns = qv::shape_of(values).back();
    nb::list bounds;
    bool bounded = PyObject_IsTrue(max_shape.ptr()) == 1;
    for (int64_t i = 0; i < columns; ++i)
        bounds.append(bounded ? nb::object(max_shape[nb::int_(i % 2 == 0 ? 1 : 0)])
                              : nb::object(nb::float_(INFINITY)));
    nb::object upper = cp.module.attr("array")(bounds, nb::arg("dtype") = cp.float32);
    return cp.module.attr("clip")(values, 0, upper);
}

inline nb::object forward(const qv::Args &a) {
    nb::handle self = a[0];
    InstanceLock lock(self, true);
    double threshold = as_double(a["threshold"]);
    bool clip_kps = nb::cast<bool>(a["clip_kps"]);
    const qv::Cupy &cp = qv::cp();
    nb::list scores_list, bboxes_list, kpss_list;
    nb::object blob = self.attr("pre_process")(a["image"]);

    qv::trt::stage_input(self, blob, kWhat);
    qv::trt::execute(self, kWhat);

    nb::list output_names = laid_out_outputs(self);
    nb::dict d_outputs = nb::borrow<nb::dict>(self.attr("d_outputs"));
    std::vector<nb::object> net_outs;
    for (nb::handle name : output_names) net_outs.push_back(d_outputs[name]);

    std::vector<int64_t> blob_shape = qv::shape_of(blob);
    int64_t input_height = blob_shape[2], input_width = blob_shape[3];
    int64_t fmc = as_int(self.attr("fmc")), num_anchors = as_int(self.attr("_num_anchors"));
    bool use_kps = nb::cast<bool>(self.attr("use_kps"));
    nb::dict cache = nb::borrow<nb::dict>(self.attr("center_cache"));
    nb::handle float32 = cp.float32;
    int64_t idx = 0;
    for (nb::handle stride_obj : self.attr("_feat_stride_fpn")) {
        int64_t stride = as_int(stride_obj);
        // Outputs are read as one row per anchor, whatever leading axes the engine gives them.
        nb::object scores = net_outs[idx].attr("reshape")(-1, 1).attr("astype")(float32);
        nb::object bbox_preds =
            net_outs[idx + fmc].attr("reshape")(-1, 4).attr("astype")(float32) * nb::int_(stride);
        int64_t height = input_height / stride, width = input_width / stride;
        nb::object key = nb::make_tuple(height, width, stride);
        nb::object centres;
        if (cache.contains(key)) {
            centres = cache[key];
        } else {
            nb::object grid =
                cp.module.attr("mgrid")[nb::make_tuple(nb::slice(nb::none(), nb::int_(height), nb::none()),
                                                       nb::slice(nb::none(), nb::int_(width), nb::none()))];
            grid = grid[nb::slice(nb::none(), nb::none(), nb::int_(-1))];
            centres = cp.module.attr("stack")(grid, nb::arg("axis") = -1).attr("astype")(float32);
            centres = (centres * nb::int_(stride)).attr("reshape")(-1, 2);
            if (num_anchors > 1) {
                nb::list copies;
                for (int64_t k = 0; k < num_anchors; ++k) copies.append(centres);
                centres = cp.module.attr("stack")(copies, nb::arg("axis") = 1).attr("reshape")(-1, 2);
            }
            if (nb::len(cache) < kMaxCachedCentres) cache[key] = centres;
        }
        nb::object pos_inds = cp.module.attr("where")(scores.attr("__ge__")(threshold))[nb::int_(0)];
        nb::object bboxes = self.attr("distance2bbox")(centres, bbox_preds);
        scores_list.append(scores[pos_inds]);
        bboxes_list.append(bboxes[pos_inds]);
        if (use_kps) {
            nb::object kps_preds =
                net_outs[idx + 2 * fmc].attr("reshape")(-1, 10).attr("astype")(float32) * nb::int_(stride);
            nb::object kpss =
                clip_kps ? self.attr("distance2kps")(centres, kps_preds) : decode_kps(centres, kps_preds);
            kpss = kpss.attr("reshape")(qv::shape_of(kpss)[0], -1, 2);
            kpss_list.append(kpss[pos_inds]);
        }
        ++idx;
    }
    return nb::make_tuple(scores_list, bboxes_list, kpss_list);
}

inline nb::object nms(const qv::Args &a) {
    nb::handle self = a[0], dets = a["dets"];
    std::vector<float> rows = host_floats(dets);
    std::vector<int64_t> keep = suppress(rows, rows.size() / 5, (float)as_double(self.attr("nms_thresh")));
    nb::list result;
    for (int64_t i : keep) result.append(i);
    return result;
}

inline nb::object crop(const qv::Args &a) {
    int64_t size = as_int(a["size"]);
    nb::object pair = qv::sibling::crop_from_kps(a["image"], a["kps"], size * 2);
    nb::object cropped = qv::sibling::resize(pair[nb::int_(0)], nb::make_tuple(size, size),
                                             nb::arg("interpolation") = qv::sibling::inter_auto.get());
    // Halving a crop by area averaging puts its pixel j over the big crop's pixels 2j and 2j + 1,
    // so big-crop position u is small-crop position (u - 0.5) / 2: halve the matrix and move it a
    // quarter pixel, in place, so that it maps frame pixel centres onto the stored crop's centres.
    nb::object matrix = pair[nb::int_(1)];
    nb::object translation = matrix[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 2)];
    translation -= nb::float_(0.5);
    matrix /= nb::int_(2);
    return nb::make_tuple(cropped, matrix);
}

}  // namespace quorvex::detector
