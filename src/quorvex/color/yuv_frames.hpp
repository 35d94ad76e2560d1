// The frames and images the YUV conversions take, checked and in the form their kernels read.
// Part of quorvex.color.yuv.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/pixel_formats.hpp"

namespace quorvex::yuv {

namespace qv = quorvex;
namespace nb = nanobind;

// The layouts themselves are the shared table's (pixel_formats.hpp).
using Format = qv::PixelFormat;
using qv::kNv12, qv::kP010, qv::kUyvy, qv::kV210, qv::kYuv420p, qv::kYuv420p10, qv::kYuv420p12, qv::kYuv422p,
    qv::kYuv422p10, qv::kYuv422p12, qv::kYuv444p, qv::kYuv444p10, qv::kYuv444p12, qv::kYuyv;
using qv::Layout;

// Chroma samples per row: (n + 1) / 2 where halved, as FFmpeg lays odd widths out.
inline constexpr int64_t chroma_width(const Format &f, int64_t width) {
    return f.horizontal ? (width + 1) / 2 : width;
}

// Arguments before the matrix: the frame, its planes, or the v210 frame and its width.
inline constexpr int frame_args(const Format &f) {
    return f.layout == Layout::Planar ? 3 : (f.layout == Layout::Semi || f.layout == Layout::V210) ? 2 : 1;
}

inline int64_t v210_pitch(int64_t width) { return (width + 47) / 48 * 128; }

// A 2-D device array of the given element type, contiguous, with any expected size checked
// (-1: any).
inline nb::object plane(nb::handle array, const char *name, const char *function, const char *dtype,
                        int64_t height, int64_t width) {
    nb::object a;
    if (qv::is_device_array(array))
        a = nb::borrow(array);
    else if (qv::is_host_array(array))
        a = qv::cp().asarray(array);
    else
        qv::raise(PyExc_TypeError, "%s() takes %s as a cupy.ndarray or numpy.ndarray, got %s", function, name,
                  qv::type_name(array));
    std::string got = nb::cast<std::string>(qv::str_of(a.attr("dtype")));
    if (got != dtype)
        qv::raise(PyExc_TypeError, "%s() takes %s as %s, got %s", function, name, dtype, got.c_str());
    std::vector<int64_t> shape = qv::shape_of(a);
    if (shape.size() != 2 || (height >= 0 && shape[0] != height) || (width >= 0 && shape[1] != width)) {
        std::string want = "(" + (height >= 0 ? std::to_string(height) : std::string("height")) + ", " +
                           (width >= 0 ? std::to_string(width) : std::string("width")) + ")";
        qv::raise(PyExc_ValueError, "%s() takes %s of shape %s, got %U", function, name, want.c_str(),
                  qv::str_of(a.attr("shape")).ptr());
    }
    if (shape[0] == 0 || shape[1] == 0)
        qv::raise(PyExc_ValueError, "%s() takes a non-empty %s, got shape %U", function, name,
                  qv::str_of(a.attr("shape")).ptr());
    qv::check_indexable(shape, name);
    return qv::cp().ascontiguousarray(a);
}

// Word loads need aligned rows; a view at an odd offset is copied first.
inline nb::object word_aligned(nb::object a) {
    if (nb::cast<uint64_t>(a.attr("data").attr("ptr")) % 4 != 0) return a.attr("copy")();
    return a;
}

// The checked input frame: kernel arguments before the output, and its size.
struct Frame {
    nb::list arrays;
    int64_t width = 0, height = 0;
};

inline Frame read_frame(const Format &f, const qv::Args &a, const char *function) {
    Frame fr;
    const char *u8 = "uint8", *u16 = "uint16";
    switch (f.layout) {
        case Layout::Uyvy:
        case Layout::Yuyv: {
            nb::object frame = plane(a[0], "frame", function, u8, -1, -1);
            std::vector<int64_t> s = qv::shape_of(frame);
            if (s[1] % 4 != 0)
                qv::raise(PyExc_ValueError,
                          "%s() takes frame of shape (height, 2 * width) with an even width (whole pixel "
                          "pairs), got %U",
                          function, qv::str_of(frame.attr("shape")).ptr());
            fr.height = s[0], fr.width = s[1] / 2;
            fr.arrays.append(frame);
            break;
        }
        case Layout::V210: {
            int64_t width = nb::cast<int64_t>(a[1]);
            if (width <= 0)
                qv::raise(PyExc_ValueError, "%s() takes a positive width, got %lld", function,
                          (long long)width);
            nb::object frame = plane(a[0], "frame", function, u8, -1, -1);
            std::vector<int64_t> s = qv::shape_of(frame);
            if (s[1] != v210_pitch(width))
                qv::raise(PyExc_ValueError, "%s() takes v210 rows of %lld bytes for width %lld, got %lld",
                          function, (long long)v210_pitch(width), (long long)width, (long long)s[1]);
            fr.height = s[0], fr.width = width;
            fr.arrays.append(word_aligned(frame));
            break;
        }
        case Layout::Planar:
        case Layout::Semi: {
            const char *dtype = f.bits == 8 ? u8 : u16;
            nb::object y = plane(a[0], "y", function, dtype, -1, -1);
            std::vector<int64_t> s = qv::shape_of(y);
            fr.height = s[0], fr.width = s[1];
            int64_t ch = f.vertical ? (s[0] + 1) / 2 : s[0], cw = chroma_width(f, s[1]);
            fr.arrays.append(y);
            if (f.layout == Layout::Planar) {
                fr.arrays.append(plane(a[1], "cb", function, dtype, ch, cw));
                fr.arrays.append(plane(a[2], "cr", function, dtype, ch, cw));
            } else {
                nb::object uv = plane(a[1], "uv", function, dtype, ch, 2 * cw);
                fr.arrays.append(uv);
                fr.arrays.append(uv);
            }
            break;
        }
    }
    qv::check_indexable({fr.height, fr.width, 3}, "the image");
    return fr;
}

// The BGR image as contiguous float32 (H, W, 3) on the device.
inline nb::object bgr_image(nb::handle image, const char *function) {
    using qv::sibling::to_float32;
    nb::object img;
    if (qv::is_device_array(image))
        img = nb::borrow(image);
    else if (qv::is_host_array(image))
        img = qv::cp().asarray(image);
    else
        qv::raise(PyExc_TypeError, "%s() takes image as a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(image));
    std::vector<int64_t> s = qv::shape_of(img);
    if (s.size() != 3 || s[2] != 3 || s[0] == 0 || s[1] == 0)
        qv::raise(PyExc_ValueError, "%s() takes a BGR image of shape (height, width, 3), got %U", function,
                  qv::str_of(img.attr("shape")).ptr());
    qv::check_indexable(s, "image");
    return img;
}

}  // namespace quorvex::yuv
