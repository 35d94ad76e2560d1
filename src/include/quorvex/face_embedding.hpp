// What the TensorRT and ONNX Runtime face embedders share: packing crops the way their network
// wants them, and filling a face record from the network's output.
#pragma once

#include <cmath>

#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/siblings.hpp"

namespace quorvex::embedding {

namespace nb = nanobind;

// One RGB image or a list of them as an (N, C, H, W) blob at the embedder's input_size, with
// (x - input_mean) / input_std.
inline nb::object pack(nb::handle self, nb::handle imgs) {
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
    return sibling::to_blobs(images, scale, nb::make_tuple(size[nb::int_(1)], size[nb::int_(0)]),
                             nb::make_tuple(mean, mean, mean));
}

// Fills embedding (the flattened output of `run` on the record's crop, as RGB float32) and
// normed_embedding (unit Euclidean norm, float32 or wider) of a record, and returns the record.
// An embedding without a direction (all zero, or not finite) is refused with ValueError and the
// record is left as it was.
template <typename Run>
nb::object fill(nb::handle face, Run &&run) {
    const Cupy &cp = quorvex::cp();
    nb::object image = sibling::to_float32(sibling::bgr_to_rgb(face.attr("image")));
    nb::object embedding = nb::object(run(image)).attr("flatten")();
    // Squares of float16 outputs overflow early (a norm above 256), so the norm is taken wider.
    nb::object wide =
        embedding.attr("astype")(cp.module.attr("promote_types")(embedding.attr("dtype"), cp.float32));
    nb::object norm = cp.module.attr("linalg").attr("norm")(wide);
    double length = nb::cast<double>(nb::float_(norm));  // one value to the host, to refuse NaN identities
    if (!(length > 0.0 && std::isfinite(length)))
        raise(PyExc_ValueError,
              "the face embedding network gave an embedding of norm %R, which has no direction to "
              "normalise",
              nb::float_(length).ptr());
    face.attr("embedding") = embedding;
    assert_true(!face.attr("embedding").is_none());
    face.attr("normed_embedding") = wide / norm;
    assert_true(!face.attr("normed_embedding").is_none());
    return nb::borrow(face);
}

}  // namespace quorvex::embedding
