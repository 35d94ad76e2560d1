// NDI video frames <-> BGR float32 images. A frame is one byte buffer holding its planes one
// after another, as NDI senders and receivers hand them over: UYVY (packed 4:2:2), UYVA (UYVY
// and an 8-bit alpha plane with half its stride), P216 and PA16 (16-bit luma plane, 16-bit
// interleaved Cb/Cr plane of the same stride, PA16 then a 16-bit alpha plane), NV12, I420 and
// YV12 (4:2:0; I420/YV12 chroma planes with half the stride, YV12 Cr first), and BGRA, BGRX,
// RGBA, RGBX.
//
// Codes are those of quorvex.color.yuv: the same matrices, ranges, chroma siting and filters,
// rounding; 16-bit codes are the 8-bit ones times 256. Each conversion is one launch: the Y'CbCr
// kernels take every plane's place in the buffer as byte offsets, pitches and steps, so one
// kernel serves all seven Y'CbCr layouts.
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/ycbcr.hpp"

namespace qv = quorvex;
namespace yc = quorvex::ycbcr;
namespace nb = nanobind;

namespace {

// The device code and the four kernels: Y'CbCr and RGB layouts, each way.
const std::string ndi_kernels_code = std::string(
#include "quorvex/color/ndi_device.cuh.inc"
                                         ) +
#include "quorvex/color/ndi_kernels.cuh.inc"
    ;

struct Kernels {
    nb::handle yuv_decode, yuv_encode, rgb_decode, rgb_encode;
} kernels;

// ---------------------------------------------------------------- layouts

enum class Kind { Packed, Semi, Planar, Rgb };

struct FourCC {
    const char *name;
    Kind kind;
    int bits;
    bool vertical;  // 4:2:0
    bool alpha;
    bool swapped;  // YV12: Cr plane first; RGBA/RGBX: red first
};

constexpr std::array<FourCC, 11> kFourCCs = {{
    {"UYVY", Kind::Packed, 8, false, false, false},
    {"UYVA", Kind::Packed, 8, false, true, false},
    {"P216", Kind::Semi, 16, false, false, false},
    {"PA16", Kind::Semi, 16, false, true, false},
    {"NV12", Kind::Semi, 8, true, false, false},
    {"I420", Kind::Planar, 8, true, false, false},
    {"YV12", Kind::Planar, 8, true, false, true},
    {"BGRA", Kind::Rgb, 8, false, true, false},
    {"BGRX", Kind::Rgb, 8, false, false, false},
    {"RGBA", Kind::Rgb, 8, false, true, true},
    {"RGBX", Kind::Rgb, 8, false, false, true},
}};

const char *const kNames =
    "'UYVY', 'UYVA', 'P216', 'PA16', 'NV12', 'I420', 'YV12', 'BGRA', 'BGRX', 'RGBA' or 'RGBX'";

const FourCC &fourcc_of(nb::handle name, const char *function) {
    std::string s = nb::cast<std::string>(name);
    for (const FourCC &f : kFourCCs)
        if (s == f.name) return f;
    qv::raise(PyExc_ValueError, "%s() takes fourcc as %s, got %R", function, kNames, name.ptr());
}

// Where every plane lies in the buffer, in bytes.
struct Geometry {
    int64_t stride = 0, size = 0;
    int64_t y_at = 0, y_step = 1, cb_at = 0, cr_at = 0, c_pitch = 0, c_step = 1, a_at = -1, a_pitch = 0,
            a_step = 1;
};

int64_t checked_mul(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return INT64_MAX;
    return r;
}

int64_t default_stride(const FourCC &f, int64_t width) {
    switch (f.kind) {
        case Kind::Packed:
        case Kind::Semi:
            return checked_mul(width, f.bits == 16 || f.kind == Kind::Packed ? 2 : 1);
        case Kind::Planar:
            return width;
        case Kind::Rgb:
            return checked_mul(width, 4);
    }
    return 0;
}

// The frame's size, checked: positive, even where chroma is shared by pixel pairs or row pairs.
void check_size(const FourCC &f, int64_t width, int64_t height, const char *function) {
    if (width <= 0 || height <= 0)
        qv::raise(PyExc_ValueError, "%s() takes a positive width and height, got %lldx%lld", function,
                  (long long)width, (long long)height);
    if (width > INT32_MAX || height > INT32_MAX)
        qv::raise(PyExc_ValueError, "%s() takes a width and height of at most %d, got %lldx%lld", function,
                  INT32_MAX, (long long)width, (long long)height);
    if (f.kind != Kind::Rgb && width % 2)
        qv::raise(PyExc_ValueError,
                  "%s() takes an even width for %s (chroma is shared by pixel pairs), got %lld", function,
                  f.name, (long long)width);
    if (f.vertical && height % 2)
        qv::raise(PyExc_ValueError,
                  "%s() takes an even height for %s (chroma is shared by row pairs), got %lld", function,
                  f.name, (long long)height);
}

Geometry geometry(const FourCC &f, int64_t width, int64_t height, int64_t stride, const char *function) {
    Geometry g;
    int64_t least = default_stride(f, width);
    if (stride < 0)
        qv::raise(PyExc_ValueError, "%s() takes a stride of 0 (the default) or more, got %lld", function,
                  (long long)stride);
    if (stride == 0) stride = least;
    if (stride < least)
        qv::raise(PyExc_ValueError,
                  "%s() takes a stride of at least %lld bytes for %s of width %lld, got %lld", function,
                  (long long)least, f.name, (long long)width, (long long)stride);
    // Layouts with 16-bit samples or with planes at half the stride need an even stride.
    bool halves = f.alpha ? f.kind == Kind::Packed : f.kind == Kind::Planar;
    if ((f.bits == 16 || halves) && stride % 2)
        qv::raise(PyExc_ValueError, "%s() takes an even stride for %s, got %lld", function, f.name,
                  (long long)stride);
    g.stride = stride;
    int64_t plane = checked_mul(stride, height), size = plane;
    switch (f.kind) {
        case Kind::Packed:
            g.y_at = 1, g.y_step = 2, g.cb_at = 0, g.cr_at = 2, g.c_pitch = stride, g.c_step = 4;
            if (f.alpha)
                g.a_at = plane, g.a_pitch = stride / 2, g.a_step = 1,
                size = checked_mul(stride / 2, height * 3);
            break;
        case Kind::Semi: {
            int64_t sample = f.bits / 8, rows = f.vertical ? height / 2 : height;
            g.y_step = sample, g.cb_at = plane, g.cr_at = plane + sample, g.c_pitch = stride,
            g.c_step = 2 * sample;
            size = checked_mul(stride, height + rows);
            if (f.alpha)
                g.a_at = size, g.a_pitch = stride, g.a_step = sample, size = checked_mul(stride, 3 * height);
            break;
        }
        case Kind::Planar: {
            int64_t chroma = checked_mul(stride / 2, height / 2);
            g.cb_at = plane, g.cr_at = plane + chroma, g.c_pitch = stride / 2;
            if (f.swapped) std::swap(g.cb_at, g.cr_at);
            size = plane + 2 * chroma;
            break;
        }
        case Kind::Rgb:
            break;
    }
    if (plane == INT64_MAX || size < 0 || size > INT32_MAX)
        qv::raise(PyExc_ValueError,
                  "%s() takes frames of at most %d bytes; %s %lldx%lld with stride %lld is larger", function,
                  INT32_MAX, f.name, (long long)width, (long long)height, (long long)stride);
    g.size = size;
    return g;
}

void append_geometry(nb::list &args, const FourCC &f, const Geometry &g, int64_t width, int64_t height,
                     int channels) {
    for (int64_t v : {width, height, (int64_t)channels, (int64_t)f.vertical, (int64_t)(f.bits == 16), g.y_at,
                      g.stride, g.y_step, g.cb_at, g.cr_at, g.c_pitch, g.c_step, g.a_at, g.a_pitch, g.a_step})
        args.append(qv::i32(v));
    args.append(qv::f32(std::ldexp(1.0, f.bits) - 1.0));
}

int64_t int_arg(nb::handle value) { return nb::cast<int64_t>(value); }

// ---------------------------------------------------------------- conversions

nb::object to_bgr(const qv::Args &a) {
    nb::handle given_buffer = a["buffer"];
    const char *function = "to_bgr";
    const qv::Cupy &cp = qv::cp();
    const FourCC &f = fourcc_of(a["fourcc"], function);
    int64_t width = int_arg(a["width"]), height = int_arg(a["height"]), stride = int_arg(a["stride"]);
    std::array<double, 2> k = yc::luma_weights(a[5], function);
    bool full = yc::flag(a[6], "full_range", function);
    check_size(f, width, height, function);
    Geometry g = geometry(f, width, height, stride, function);
    int channels = f.alpha ? 4 : 3;
    qv::check_indexable({height, width, channels}, "the image");

    nb::object buffer;
    if (qv::is_device_array(given_buffer))
        buffer = nb::borrow(given_buffer);
    else if (qv::is_host_array(given_buffer))
        buffer = nb::borrow(given_buffer);
    else
        qv::raise(PyExc_TypeError, "%s() takes buffer as a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(given_buffer));
    std::string dtype = nb::cast<std::string>(qv::str_of(buffer.attr("dtype")));
    if (dtype != "uint8")
        qv::raise(PyExc_TypeError, "%s() takes buffer as uint8, got %s", function, dtype.c_str());
    int64_t got = nb::cast<int64_t>(buffer.attr("size"));
    if (got < g.size)
        qv::raise(PyExc_ValueError,
                  "%s() takes a buffer of at least %lld bytes for %s %lldx%lld with stride %lld, got %lld",
                  function, (long long)g.size, f.name, (long long)width, (long long)height,
                  (long long)g.stride, (long long)got);
    // Host frames go up whole, in one transfer; device views are used in place when contiguous.
    buffer = cp.ascontiguousarray(cp.asarray(buffer));

    nb::object out = cp.empty(nb::make_tuple(height, width, channels), cp.float32);
    nb::list args;
    args.append(buffer), args.append(out);
    if (f.kind == Kind::Rgb) {
        args.append(qv::i32(width)), args.append(qv::i32(height)), args.append(qv::i32(g.stride));
        args.append(qv::i32(f.swapped ? 0 : 2)), args.append(qv::i32(channels));
        qv::launch_2d(kernels.rgb_decode, width, height, nb::tuple(args));
        return out;
    }
    append_geometry(args, f, g, width, height, channels);
    yc::append_transform(args, yc::decoding(k, yc::code_range(f.bits, full)));
    qv::launch_2d(kernels.yuv_decode, width / 2, height, nb::tuple(args));  // a thread per pixel pair
    return out;
}

nb::object from_bgr(const qv::Args &a) {
    nb::handle given_image = a["image"];
    const char *function = "from_bgr";
    using qv::sibling::to_float32;
    const qv::Cupy &cp = qv::cp();
    const FourCC &f = fourcc_of(a["fourcc"], function);
    std::array<double, 2> k = yc::luma_weights(a[2], function);
    bool full = yc::flag(a[3], "full_range", function);
    nb::object image;
    if (qv::is_device_array(given_image))
        image = nb::borrow(given_image);
    else if (qv::is_host_array(given_image))
        image = cp.asarray(given_image);
    else
        qv::raise(PyExc_TypeError, "%s() takes image as a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(given_image));
    std::vector<int64_t> s = qv::shape_of(image);
    if (s.size() != 3 || (s[2] != 3 && s[2] != 4) || s[0] == 0 || s[1] == 0)
        qv::raise(PyExc_ValueError,
                  "%s() takes an image of shape (height, width, 3) or (height, width, 4), got %U", function,
                  qv::str_of(image.attr("shape")).ptr());
    qv::check_indexable(s, "image");
    int64_t height = s[0], width = s[1], channels = s[2];
    check_size(f, width, height, function);
    Geometry g = geometry(f, width, height, 0, function);
    image = cp.ascontiguousarray(to_float32(image));

    nb::object frame = cp.empty(nb::make_tuple(g.size), qv::np().uint8);
    nb::list args;
    args.append(image), args.append(frame);
    if (f.kind == Kind::Rgb) {
        args.append(qv::i32(width)), args.append(qv::i32(height)), args.append(qv::i32(channels));
        args.append(qv::i32(f.swapped ? 0 : 2)), args.append(qv::i32(f.alpha));
        qv::launch_2d(kernels.rgb_encode, width, height, nb::tuple(args));
        return frame;
    }
    std::array<double, 2> limits = yc::code_limits(f.bits, full);
    args.append(qv::f32(limits[0])), args.append(qv::f32(limits[1]));
    append_geometry(args, f, g, width, height, (int)channels);
    yc::append_transform(args, yc::encoding(k, yc::code_range(f.bits, full)));
    qv::launch_2d(kernels.yuv_encode, width / 2, f.vertical ? height / 2 : height, nb::tuple(args));
    return frame;
}

const char *const kDevice = "cp.ndarray | np.ndarray";

}  // namespace

NB_MODULE(ndi, m) {
    m.doc() =
        "NDI video frames (UYVY, UYVA, P216, PA16, NV12, I420, YV12, BGRA, BGRX, RGBA, RGBX) to and from BGR "
        "float32 device images, with the codes of quorvex.color.yuv.";
    kernels.yuv_decode = qv::add_kernel(m, "yuv_decode_kernel", ndi_kernels_code.c_str());
    kernels.yuv_encode = qv::add_kernel(m, "yuv_encode_kernel", ndi_kernels_code.c_str());
    kernels.rgb_decode = qv::add_kernel(m, "rgb_decode_kernel", ndi_kernels_code.c_str());
    kernels.rgb_encode = qv::add_kernel(m, "rgb_encode_kernel", ndi_kernels_code.c_str());

    nb::list names;
    for (const FourCC &f : kFourCCs) names.append(f.name);
    m.attr("FOURCCS") = nb::tuple(names);

    auto matrix = [] { return qv::Param("matrix", "str", nb::str("bt709")); };
    auto full_range = [] { return qv::Param("full_range", "bool", nb::bool_(false)); };
    qv::def(
        m, "to_bgr", to_bgr,
        {{"buffer", kDevice},
         {"fourcc", "str"},
         {"width", "int"},
         {"height", "int"},
         {"stride", "int", nb::int_(0)},
         matrix(),
         full_range()},
        "cp.ndarray",
        "BGR image of an NDI video frame.\n\n"
        "Chroma is interpolated linearly between its samples. One kernel launch, no synchronisation.\n\n"
        "Args:\n"
        "    buffer: the frame's uint8 bytes as NDI delivers them (device or host, any shape, at least the "
        "frame's size).\n"
        "    fourcc: the frame's layout, one of FOURCCS.\n"
        "    width, height: the frame's size in pixels.\n"
        "    stride: the first plane's line stride in bytes (0: the default, 2W for UYVY/UYVA/P216/PA16, W "
        "for NV12/I420/YV12, 4W for RGB layouts).\n"
        "    matrix: 'bt601', 'bt709' or 'bt2020'.\n"
        "    full_range: codes 0..2^n-1 instead of video range (16..235 luma at 8 bits, 4096..60160 at "
        "16).\n\n"
        "Returns:\n"
        "    (H, W, 3) float32 BGR clamped to 0..1, or (H, W, 4) BGRA for UYVA, PA16, BGRA and RGBA.");
    qv::def(
        m, "from_bgr", from_bgr, {{"image", kDevice}, {"fourcc", "str"}, matrix(), full_range()},
        "cp.ndarray",
        "NDI video frame of an image.\n\n"
        "Chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs); codes "
        "are rounded and clamped, in video range to 1..254 (256..65279 at 16 bits) as SDI reserves the "
        "extremes. Alpha is 255 (65535) where the image has none; RGB layouts' X byte is 255. One kernel "
        "launch, no synchronisation.\n\n"
        "Args:\n"
        "    image: (H, W, 3) BGR or (H, W, 4) BGRA, float 0..1 (integer images are scaled from their full "
        "range first); W even for the Y'CbCr layouts, H even for NV12/I420/YV12.\n"
        "    fourcc: the frame's layout, one of FOURCCS.\n"
        "    matrix, full_range: as to_bgr takes them.\n\n"
        "Returns:\n"
        "    The uint8 bytes of the frame with the default strides, one dimension.");
}
