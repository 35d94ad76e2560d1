// What the TensorRT and ONNX Runtime face embedders share: packing crops the way their network
// wants them, and filling a face record from the network's output.
#pragma once

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"

namespace quorvex::embedding {

namespace nb = nanobind;

// One RGB image or a list of them as an (N, C, H, W) blob at the embedder's input_size, with
// (x - input_mean) / input_std.
inline nb::object pack(nb::handle self, nb::handle imgs) {
    static nb::handle to_blobs = package_attr("quorvex.utils.blob", "to_blobs").release();
    nb::object images = nb::borrow(imgs);
    if (!PyList_Check(images.ptr())) {
        nb::list one;
        one.append(images);
        images = one;
    }
    nb::object mean = self.attr("input_mean");
    nb::object scale = nb::float_(1.0) / self.attr("input_std");
    nb::object size = self.attr("input_size");
    // input_size is (width, height) while the packer reads its size as (height, width).
    return to_blobs(images, scale, nb::make_tuple(size[nb::int_(1)], size[nb::int_(0)]),
                    nb::make_tuple(mean, mean, mean));
}

// Fills embedding (the flattened output of `run` on the record's crop, as RGB float32) and
// normed_embedding (unit Euclidean norm) of a record, and returns the record.
template <typename Run>
nb::object fill(nb::handle face, Run &&run) {
    static nb::handle bgr_to_rgb = package_attr("quorvex.color.bgr", "bgr_to_rgb").release();
    static nb::handle to_float32 = package_attr("quorvex.utils.dtypes", "to_float32").release();
    nb::object image = to_float32(bgr_to_rgb(face.attr("image")));
    nb::object embedding = nb::object(run(image)).attr("flatten")();
    face.attr("embedding") = embedding;
    assert_true(!face.attr("embedding").is_none());
    face.attr("normed_embedding") = embedding / cp().module.attr("linalg").attr("norm")(embedding);
    assert_true(!face.attr("normed_embedding").is_none());
    return nb::borrow(face);
}

}  // namespace quorvex::embedding
