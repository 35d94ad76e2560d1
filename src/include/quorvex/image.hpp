// Device images for the float32 kernels: checked and converted on the way in, given back in the
// caller's element type on the way out.
#pragma once

#include <string>
#include <vector>

#include "quorvex/kernel.hpp"
#include "quorvex/python.hpp"
#include "quorvex/siblings.hpp"

namespace quorvex {

// The shape of an (H, W) or (H, W, C) device image, checked; nothing is allocated, so callers
// can check their other arguments before converting.
inline std::vector<int64_t> image_shape(nb::handle image, const char *function) {
    if (!is_device_array(image))
        raise(PyExc_TypeError, "%s() takes image as a cupy.ndarray, got %s", function,
              quorvex::type_name(image));
    std::vector<int64_t> shape = shape_of(image);
    if (shape.size() != 2 && shape.size() != 3)
        raise(PyExc_ValueError,
              "%s() takes an image of shape (height, width) or (height, width, channels), got %U", function,
              str_of(image.attr("shape")).ptr());
    check_indexable(shape, "image");
    return shape;
}

// An image checked by image_shape as a contiguous float32 array; dtype receives the image's own
// element type for restore_dtype.
inline nb::object converted_image(nb::handle image, std::string &dtype) {
    dtype = nb::cast<std::string>(str_of(image.attr("dtype")));
    return cp().ascontiguousarray(sibling::to_float32(image));
}

// The (H, W) or (H, W, C) device image as a contiguous float32 array; dtype receives the
// image's own element type for restore_dtype.
inline nb::object float32_image(nb::handle image, const char *function, std::string &dtype) {
    image_shape(image, function);
    return converted_image(image, dtype);
}

// Back to the caller's element type: integers by the package's 0-to-1 mapping, bool by
// rounding, other floats by a plain cast.
inline nb::object restore_dtype(nb::object result, const std::string &dtype) {
    if (dtype == "float32") return result;
    if (dtype == "uint8") return sibling::to_uint8(result);
    if (dtype == "uint16") return sibling::to_uint16(result);
    if (dtype == "bool") return result.attr("__ge__")(0.5);
    return result.attr("astype")(dtype.c_str());
}

}  // namespace quorvex
