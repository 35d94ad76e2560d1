// Video frame layouts <-> BGR float32 images: packed 8-bit 4:2:2 (UYVY, YUYV), packed 10-bit
// 4:2:2 (v210), planar 4:4:4, 4:2:2 and 4:2:0 at 8, 10 and 12 bits, semi-planar 4:2:0 (NV12,
// P010), and Y'CbCr 4:4:4 without a matrix.
//
// Every conversion is one launch of one of a few kernels. The kernels share their device code:
// a reader or writer per layout and one body that does the chroma resampling and the colour
// matrix. The matrix, offsets and scales (BT.601/709/2020, video or full range, bit depth) are
// computed here on the host and passed as kernel arguments, so one kernel serves every matrix.
//
// Chroma siting: 4:2:2 and 4:2:0 chroma samples are co-sited with the even luma columns; 4:2:0
// rows lie midway between the luma row pairs (MPEG-2/H.264's default siting). Upsampling is
// linear between neighbouring samples or repeats them; downsampling filters columns with
// [1, 2, 1] / 4 centred on the co-sited column and averages row pairs. At the right and bottom
// edges the last sample (or pixel) is repeated. Odd widths and heights have (n + 1) / 2 chroma
// samples, as FFmpeg lays them out; packed UYVY/YUYV rows hold whole pixel pairs only.
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/pixel_formats.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/ycbcr.hpp"
#include "yuv_frames.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

using namespace qv::yuv;

// The device code every kernel shares, and the kernels' entries.
const char yuv_device[] =
#include "quorvex/color/yuv_device.cuh.inc"
    ;
const char decode_entries[] =
#include "quorvex/color/yuv_decode_kernels.cuh.inc"
    ;
const char packed422_encode_entries[] =
#include "quorvex/color/yuv_packed422_encode_kernel.cuh.inc"
    ;
const char v210_encode_entries[] =
#include "quorvex/color/yuv_v210_encode_kernel.cuh.inc"
    ;
const char planar_encode_entries[] =
#include "quorvex/color/yuv_planar_encode_kernels.cuh.inc"
    ;
const char planar444_encode_entries[] =
#include "quorvex/color/yuv_planar444_encode_kernels.cuh.inc"
    ;

std::string device_text(const std::string &entries) {
    return std::string(qv::element_types_code) + yuv_device + entries;
}

// The decoders share one text. The encoders' entries are repeated per element type of the image
// they read (qv::kElementTypes: float32, uint8, uint16, float16), one text per layout.
const std::string decode_kernels_code = device_text(decode_entries);
const std::string packed422_encode_kernel_code = device_text(qv::typed_entries(packed422_encode_entries));
const std::string v210_encode_kernel_code = device_text(qv::typed_entries(v210_encode_entries));
const std::string planar_encode_kernels_code = device_text(qv::typed_entries(planar_encode_entries));
const std::string planar444_encode_kernels_code = device_text(qv::typed_entries(planar444_encode_entries));

struct Kernels {
    nb::handle packed422_decode, v210_decode, planar8_decode, planar16_decode, ycbcr444_decode;
    nb::handle packed422_encode[qv::kElementTypeCount], v210_encode[qv::kElementTypeCount],
        planar8_encode[qv::kElementTypeCount], planar16_encode[qv::kElementTypeCount],
        planar444_8_encode[qv::kElementTypeCount], planar444_16_encode[qv::kElementTypeCount];
} kernels;

// ---------------------------------------------------------------- colour transforms

using qv::ycbcr::append_transform, qv::ycbcr::code_limits, qv::ycbcr::code_range, qv::ycbcr::decoding,
    qv::ycbcr::encoding, qv::ycbcr::flag, qv::ycbcr::luma_weights, qv::ycbcr::Transform;

bool nearest_chroma(nb::handle chroma, const char *function) {
    std::string name = nb::cast<std::string>(chroma);
    if (name != "linear" && name != "nearest")
        qv::raise(PyExc_ValueError, "%s() takes chroma as 'linear' or 'nearest', got %R", function,
                  chroma.ptr());
    return name == "nearest";
}

// Y, Cb, Cr code values divided by the largest code.
Transform normalising(int bits) {
    double s = 1.0 / (std::ldexp(1.0, bits) - 1.0);
    return {{s, 0, 0, 0, s, 0, 0, 0, s}, {0, 0, 0}};
}

// The bounds of decoded values: 0..1, or none (super-white and sub-black kept).
void append_bounds(nb::list &args, bool clip) {
    float big = std::numeric_limits<float>::max();
    args.append(qv::f32(clip ? 0.0 : -big)), args.append(qv::f32(clip ? 1.0 : big));
}

nb::object decode(const Format &f, const Frame &fr, const Transform &t, bool nearest, bool clip = true) {
    const qv::Cupy &cp = qv::cp();
    nb::object out = cp.empty(nb::make_tuple(fr.height, fr.width, 3), cp.float32);
    nb::list args;
    for (nb::handle x : fr.arrays) args.append(x);
    args.append(out);
    args.append(qv::i32(fr.width)), args.append(qv::i32(fr.height));
    nb::handle kernel;
    switch (f.layout) {
        case Layout::Uyvy:
        case Layout::Yuyv: {
            bool uyvy = f.layout == Layout::Uyvy;
            args.append(qv::i32(uyvy ? 1 : 0)), args.append(qv::i32(uyvy ? 0 : 1)),
                args.append(qv::i32(uyvy ? 2 : 3));
            kernel = kernels.packed422_decode;
            break;
        }
        case Layout::V210:
            args.append(qv::i32(v210_pitch(fr.width)));
            kernel = kernels.v210_decode;
            break;
        case Layout::Planar:
        case Layout::Semi: {
            bool semi = f.layout == Layout::Semi;
            int64_t cw = chroma_width(f, fr.width);
            args.append(qv::i32(semi ? 2 * cw : cw)), args.append(qv::i32(semi ? 2 : 1)),
                args.append(qv::i32(semi));
            args.append(qv::i32(f.horizontal)), args.append(qv::i32(f.vertical));
            kernel = f.bits == 8 ? kernels.planar8_decode : kernels.planar16_decode;
            break;
        }
    }
    args.append(qv::i32(nearest));
    if (f.bits != 8 && f.layout != Layout::V210) args.append(qv::i32(f.shift));
    append_transform(args, t);
    append_bounds(args, clip);
    qv::launch_2d(kernel, fr.width, fr.height, nb::tuple(args));
    return out;
}

template <const Format &F>
nb::object to_bgr(const qv::Args &a, const char *function) {
    constexpr int n = frame_args(F);
    std::array<double, 2> k = luma_weights(a[n], function);
    bool full = flag(a[n + 1], "full_range", function);
    bool nearest = nearest_chroma(a[n + 2], function);
    bool clip = flag(a[n + 3], "clip", function);
    Frame fr = read_frame(F, a, function);
    return decode(F, fr, decoding(k, code_range(F.bits, full)), nearest, clip);
}

template <const Format &F>
nb::object to_ycbcr444(const qv::Args &a, const char *function) {
    bool nearest = nearest_chroma(a[frame_args(F)], function);
    Frame fr = read_frame(F, a, function);
    return decode(F, fr, normalising(F.bits), nearest);
}

template <const Format &F>
nb::object from_bgr(const qv::Args &a, const char *function) {
    const qv::Cupy &cp = qv::cp();
    std::array<double, 2> k = luma_weights(a[1], function);
    bool full = flag(a[2], "full_range", function);
    nb::object image = bgr_image(a[0], function);
    int kind = qv::element_type(image);  // the encoder entry that reads it as it is, or -1
    if (kind < 0) {
        using qv::sibling::to_float32;
        image = to_float32(image);
        kind = 0;
    }
    image = cp.ascontiguousarray(image);  // a copy only for strided views
    std::vector<int64_t> s = qv::shape_of(image);
    int64_t height = s[0], width = s[1], cw = chroma_width(F, width),
            ch = F.vertical ? (height + 1) / 2 : height;
    Transform t = encoding(k, code_range(F.bits, full));
    nb::list args;
    args.append(image);
    nb::object result;
    nb::handle kernel;
    int64_t grid_x = cw;
    switch (F.layout) {
        case Layout::Uyvy:
        case Layout::Yuyv: {
            if (width % 2)
                qv::raise(PyExc_ValueError, "%s() packs whole pixel pairs and takes an even width, got %lld",
                          function, (long long)width);
            bool uyvy = F.layout == Layout::Uyvy;
            result = cp.empty(nb::make_tuple(height, 2 * width), qv::np().uint8);
            args.append(result), args.append(qv::i32(width)), args.append(qv::i32(height));
            args.append(qv::i32(uyvy ? 1 : 0)), args.append(qv::i32(uyvy ? 0 : 1)),
                args.append(qv::i32(uyvy ? 2 : 3));
            kernel = kernels.packed422_encode[kind];
            break;
        }
        case Layout::V210: {
            int64_t pitch = v210_pitch(width);
            qv::check_indexable({height, pitch}, "the v210 frame");
            result = cp.empty(nb::make_tuple(height, pitch), qv::np().uint8);
            args.append(result), args.append(qv::i32(width)), args.append(qv::i32(height)),
                args.append(qv::i32(pitch));
            grid_x = pitch / 16;
            kernel = kernels.v210_encode[kind];
            break;
        }
        case Layout::Planar:
        case Layout::Semi: {
            nb::handle dtype = F.bits == 8 ? qv::np().uint8 : qv::np().uint16;
            nb::object y = cp.empty(nb::make_tuple(height, width), dtype);
            args.append(y);
            if (F.layout == Layout::Planar) {
                nb::object cb = cp.empty(nb::make_tuple(ch, cw), dtype),
                           cr = cp.empty(nb::make_tuple(ch, cw), dtype);
                args.append(cb), args.append(cr);
                result = nb::make_tuple(y, cb, cr);
            } else {
                nb::object uv = cp.empty(nb::make_tuple(ch, 2 * cw), dtype);
                args.append(uv), args.append(uv);
                result = nb::make_tuple(y, uv);
            }
            bool semi = F.layout == Layout::Semi;
            args.append(qv::i32(width)), args.append(qv::i32(height));
            if (!F.horizontal) {
                kernel = F.bits == 8 ? kernels.planar444_8_encode[kind] : kernels.planar444_16_encode[kind];
                break;
            }
            args.append(qv::i32(semi ? 2 * cw : cw)), args.append(qv::i32(semi ? 2 : 1)),
                args.append(qv::i32(semi));
            args.append(qv::i32(F.vertical));
            if (F.bits != 8) args.append(qv::i32(F.shift));
            kernel = F.bits == 8 ? kernels.planar8_encode[kind] : kernels.planar16_encode[kind];
            grid_x = (cw + 1) / 2;  // two sites a thread
            break;
        }
    }
    append_transform(args, t);
    std::array<double, 2> limits = code_limits(F.bits, full);
    args.append(qv::f32(limits[0])), args.append(qv::f32(limits[1]));
    qv::launch_2d(kernel, grid_x, ch, nb::tuple(args));
    return result;
}

nb::object ycbcr444_to_bgr(const qv::Args &a) {
    nb::handle given_ycbcr = a["ycbcr"];
    const char *function = "ycbcr444_to_bgr";
    const qv::Cupy &cp = qv::cp();
    int64_t bits = nb::cast<int64_t>(a["bits"]);
    if (bits < 8 || bits > 16)
        qv::raise(PyExc_ValueError, "%s() takes bits from 8 to 16, got %lld", function, (long long)bits);
    std::array<double, 2> k = luma_weights(a[2], function);
    bool full = flag(a[3], "full_range", function);
    nb::object ycbcr;
    if (qv::is_device_array(given_ycbcr))
        ycbcr = nb::borrow(given_ycbcr);
    else if (qv::is_host_array(given_ycbcr))
        ycbcr = cp.asarray(given_ycbcr);
    else
        qv::raise(PyExc_TypeError, "%s() takes ycbcr as a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(given_ycbcr));
    std::string dtype = nb::cast<std::string>(qv::str_of(ycbcr.attr("dtype")));
    if (dtype != "float32")
        qv::raise(PyExc_TypeError, "%s() takes ycbcr as float32, got %s", function, dtype.c_str());
    std::vector<int64_t> s = qv::shape_of(ycbcr);
    if (s.size() != 3 || s[2] != 3)
        qv::raise(PyExc_ValueError, "%s() takes ycbcr of shape (height, width, 3), got %U", function,
                  qv::str_of(ycbcr.attr("shape")).ptr());
    qv::check_indexable(s, "ycbcr");
    ycbcr = cp.ascontiguousarray(ycbcr);
    // The inputs are codes divided by the largest code: fold that scale into the transform.
    double top = std::ldexp(1.0, (int)bits) - 1.0;
    Transform t = decoding(k, code_range((int)bits, full));
    for (double &m : t.m) m *= top;
    for (double &o : t.o) o /= top;
    nb::object out = cp.empty_like(ycbcr);
    nb::list args;
    args.append(ycbcr), args.append(out), args.append(qv::i32(s[1])), args.append(qv::i32(s[0]));
    append_transform(args, t);
    append_bounds(args, true);
    qv::launch_2d(kernels.ycbcr444_decode, s[1], s[0], nb::tuple(args));
    return out;
}

// ---------------------------------------------------------------- bindings

#define QV_NAMED(impl, F, name) [](const qv::Args &a) { return impl<F>(a, name); }

const char *const kDevice = "cp.ndarray | np.ndarray";

nb::object str_default(const char *s) { return nb::str(s); }

}  // namespace

NB_MODULE(yuv, m) {
    m.doc() =
        "Video frame layouts (UYVY, YUYV, v210, planar 4:4:4, 4:2:2 and 4:2:0 at 8, 10 and 12 bits, "
        "semi-planar 4:2:0 at 8 and 10 bits) to and from BGR float32 device images, with BT.601, BT.709 or "
        "BT.2020 matrices in video or full range.";
    const char *decoders = decode_kernels_code.c_str();
    kernels.packed422_decode = qv::add_kernel(m, "packed422_decode_kernel", decoders);
    kernels.v210_decode = qv::add_kernel(m, "v210_decode_kernel", decoders);
    kernels.planar8_decode = qv::add_kernel(m, "planar8_decode_kernel", decoders);
    kernels.planar16_decode = qv::add_kernel(m, "planar16_decode_kernel", decoders);
    kernels.ycbcr444_decode = qv::add_kernel(m, "ycbcr444_decode_kernel", decoders);
    const struct {
        const char *name;
        const std::string &code;
        nb::handle *slots;
    } encoders[] = {
        {"packed422_encode_kernel", packed422_encode_kernel_code, kernels.packed422_encode},
        {"v210_encode_kernel", v210_encode_kernel_code, kernels.v210_encode},
        {"planar8_encode_kernel", planar_encode_kernels_code, kernels.planar8_encode},
        {"planar16_encode_kernel", planar_encode_kernels_code, kernels.planar16_encode},
        {"planar444_8_encode_kernel", planar444_encode_kernels_code, kernels.planar444_8_encode},
        {"planar444_16_encode_kernel", planar444_encode_kernels_code, kernels.planar444_16_encode}};
    for (const auto &e : encoders)
        for (int t = 0; t < qv::kElementTypeCount; ++t)
            e.slots[t] = qv::add_kernel(m, (std::string(e.name) + qv::kElementTypes[t].suffix).c_str(),
                                        e.code.c_str());

    auto matrix = [] { return qv::Param("matrix", "str", str_default("bt709")); };
    auto full_range = [] { return qv::Param("full_range", "bool", nb::bool_(false)); };
    auto chroma = [] { return qv::Param("chroma", "str", str_default("linear")); };
    auto clip = [] { return qv::Param("clip", "bool", nb::bool_(true)); };
    const char *bgr_doc_tail =
        "    matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).\n"
        "    full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).\n"
        "    chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' "
        "repeats them.\n"
        "    clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond "
        "0..1.\n\n"
        "Returns:\n"
        "    (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.";

    std::string doc;
#define QV_TO_BGR(name, F, params, summary, inputs)                                                 \
    doc = std::string(summary) + "\n\nOne kernel launch, no synchronisation.\n\nArgs:\n" + inputs + \
          bgr_doc_tail;                                                                             \
    qv::def(m, #name, QV_NAMED(to_bgr, F, #name), params, "cp.ndarray", doc.c_str())
    QV_TO_BGR(
        uyvy_to_bgr, kUyvy,
        (std::initializer_list<qv::Param>{{"frame", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of a packed 8-bit 4:2:2 UYVY frame.",
        "    frame: uint8 (H, 2W), bytes Cb Y0 Cr Y1 per pixel pair, W even.\n");
    QV_TO_BGR(
        yuyv_to_bgr, kYuyv,
        (std::initializer_list<qv::Param>{{"frame", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of a packed 8-bit 4:2:2 YUYV (YUY2) frame.",
        "    frame: uint8 (H, 2W), bytes Y0 Cb Y1 Cr, W even.\n");
    QV_TO_BGR(v210_to_bgr, kV210,
              (std::initializer_list<qv::Param>{
                  {"frame", kDevice}, {"width", "int"}, matrix(), full_range(), chroma(), clip()}),
              "BGR image of a v210 frame (10-bit 4:2:2, 6 pixels in 16 bytes); any width, the last chroma "
              "sample repeated for odd widths.",
              "    frame: uint8 (H, row_bytes), rows of ceil(width / 48) * 128 bytes.\n"
              "    width: the frame's width in pixels.\n");
    QV_TO_BGR(
        yuv422p10_to_bgr, kYuv422p10,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 10-bit 4:2:2 (yuv422p10le).",
        "    y, cb, cr: uint16 planes (H, W), (H, (W + 1) // 2) twice.\n");
    QV_TO_BGR(
        yuv420p10_to_bgr, kYuv420p10,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 10-bit 4:2:0 (yuv420p10le); chroma rows sit midway between luma row pairs.",
        "    y, cb, cr: uint16 planes (H, W), ((H + 1) // 2, (W + 1) // 2) twice.\n");
    QV_TO_BGR(
        yuv422p_to_bgr, kYuv422p,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 8-bit 4:2:2 (yuv422p).",
        "    y, cb, cr: uint8 planes (H, W), (H, (W + 1) // 2) twice.\n");
    QV_TO_BGR(
        yuv420p_to_bgr, kYuv420p,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 8-bit 4:2:0 (yuv420p, I420); chroma rows sit midway between luma row pairs.",
        "    y, cb, cr: uint8 planes (H, W), ((H + 1) // 2, (W + 1) // 2) twice.\n");
    QV_TO_BGR(
        yuv444p_to_bgr, kYuv444p,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 8-bit 4:4:4 (yuv444p); chroma is not resampled.",
        "    y, cb, cr: three uint8 planes (H, W).\n");
    QV_TO_BGR(
        yuv444p10_to_bgr, kYuv444p10,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 10-bit 4:4:4 (yuv444p10le); chroma is not resampled.",
        "    y, cb, cr: three uint16 planes (H, W) of 10-bit codes.\n");
    QV_TO_BGR(
        yuv444p12_to_bgr, kYuv444p12,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 12-bit 4:4:4 (yuv444p12le); chroma is not resampled.",
        "    y, cb, cr: three uint16 planes (H, W) of 12-bit codes.\n");
    QV_TO_BGR(
        yuv422p12_to_bgr, kYuv422p12,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 12-bit 4:2:2 (yuv422p12le).",
        "    y, cb, cr: uint16 planes (H, W), (H, (W + 1) // 2) twice.\n");
    QV_TO_BGR(
        yuv420p12_to_bgr, kYuv420p12,
        (std::initializer_list<qv::Param>{
            {"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, matrix(), full_range(), chroma(), clip()}),
        "BGR image of planar 12-bit 4:2:0 (yuv420p12le); chroma rows sit midway between luma row pairs.",
        "    y, cb, cr: uint16 planes (H, W), ((H + 1) // 2, (W + 1) // 2) twice.\n");
    QV_TO_BGR(nv12_to_bgr, kNv12,
              (std::initializer_list<qv::Param>{
                  {"y", kDevice}, {"uv", kDevice}, matrix(), full_range(), chroma(), clip()}),
              "BGR image of NV12.",
              "    y, uv: uint8 luma (H, W) and interleaved Cb, Cr ((H + 1) // 2, 2 * ((W + 1) // 2)).\n");
    QV_TO_BGR(p010_to_bgr, kP010,
              (std::initializer_list<qv::Param>{
                  {"y", kDevice}, {"uv", kDevice}, matrix(), full_range(), chroma(), clip()}),
              "BGR image of P010.",
              "    y, uv: as NV12's, with uint16 samples holding 10 bits in their high bits.\n");
#undef QV_TO_BGR

    const char *ycbcr_tail =
        " Result: (H, W, 3) float32 holding Y, Cb, Cr code values divided by 255 (8 bits) or "
        "1023 (10 bits), chroma upsampled ('linear' or 'nearest').";
#define QV_TO_444(name, F, params, what)  \
    doc = std::string(what) + ycbcr_tail; \
    qv::def(m, #name, QV_NAMED(to_ycbcr444, F, #name), params, "cp.ndarray", doc.c_str())
    QV_TO_444(uyvy_to_ycbcr444, kUyvy, (std::initializer_list<qv::Param>{{"frame", kDevice}, chroma()}),
              "Y'CbCr 4:4:4 of a UYVY frame (uint8 (H, 2W)).");
    QV_TO_444(yuyv_to_ycbcr444, kYuyv, (std::initializer_list<qv::Param>{{"frame", kDevice}, chroma()}),
              "Y'CbCr 4:4:4 of a YUYV frame (uint8 (H, 2W)).");
    QV_TO_444(v210_to_ycbcr444, kV210,
              (std::initializer_list<qv::Param>{{"frame", kDevice}, {"width", "int"}, chroma()}),
              "Y'CbCr 4:4:4 of a v210 frame (uint8 (H, row_bytes)).");
    QV_TO_444(yuv422p10_to_ycbcr444, kYuv422p10,
              (std::initializer_list<qv::Param>{{"y", kDevice}, {"cb", kDevice}, {"cr", kDevice}, chroma()}),
              "Y'CbCr 4:4:4 of planar 10-bit 4:2:2 (uint16 planes).");
#undef QV_TO_444

    const char *from_tail =
        "\n\nHalved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row "
        "pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no "
        "synchronisation.\n\n"
        "Args:\n"
        "    image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).\n"
        "    matrix, full_range: as the *_to_bgr functions take them.";
#define QV_FROM_BGR(name, F, returns, what)                                                                \
    doc = std::string(what) + from_tail;                                                                   \
    qv::def(m, #name, QV_NAMED(from_bgr, F, #name), {{"image", kDevice}, matrix(), full_range()}, returns, \
            doc.c_str())
    QV_FROM_BGR(bgr_to_uyvy, kUyvy, "cp.ndarray",
                "Packed UYVY frame, uint8 (H, 2W), of an image of even width W.");
    QV_FROM_BGR(bgr_to_yuyv, kYuyv, "cp.ndarray",
                "Packed YUYV frame, uint8 (H, 2W), of an image of even width W.");
    QV_FROM_BGR(bgr_to_v210, kV210, "cp.ndarray",
                "v210 frame, uint8 (H, ceil(W / 48) * 128); samples past the width and row padding are 0.");
    QV_FROM_BGR(bgr_to_yuv422p10, kYuv422p10, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv422p10le, uint16 (H, W), (H, (W + 1) // 2) twice.");
    QV_FROM_BGR(bgr_to_yuv420p10, kYuv420p10, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv420p10le, uint16 (H, W), ((H + 1) // 2, (W + 1) // 2) twice.");
    QV_FROM_BGR(bgr_to_yuv422p, kYuv422p, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv422p, uint8 (H, W), (H, (W + 1) // 2) twice.");
    QV_FROM_BGR(bgr_to_yuv420p, kYuv420p, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv420p, uint8 (H, W), ((H + 1) // 2, (W + 1) // 2) twice.");
    QV_FROM_BGR(bgr_to_yuv444p, kYuv444p, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv444p, three uint8 (H, W).");
    QV_FROM_BGR(bgr_to_yuv444p10, kYuv444p10, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv444p10le, three uint16 (H, W).");
    QV_FROM_BGR(bgr_to_yuv444p12, kYuv444p12, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv444p12le, three uint16 (H, W).");
    QV_FROM_BGR(bgr_to_yuv422p12, kYuv422p12, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv422p12le, uint16 (H, W), (H, (W + 1) // 2) twice.");
    QV_FROM_BGR(bgr_to_yuv420p12, kYuv420p12, "tuple[cp.ndarray, cp.ndarray, cp.ndarray]",
                "Planes (y, cb, cr) of yuv420p12le, uint16 (H, W), ((H + 1) // 2, (W + 1) // 2) twice.");
    QV_FROM_BGR(bgr_to_nv12, kNv12, "tuple[cp.ndarray, cp.ndarray]",
                "Planes (y, uv) of NV12, uint8 (H, W) and ((H + 1) // 2, 2 * ((W + 1) // 2)).");
    QV_FROM_BGR(bgr_to_p010, kP010, "tuple[cp.ndarray, cp.ndarray]",
                "Planes (y, uv) of P010, uint16 with the 10-bit codes in the high bits.");
#undef QV_FROM_BGR
#undef QV_NAMED

    qv::def(
        m, "ycbcr444_to_bgr", ycbcr444_to_bgr, {{"ycbcr", kDevice}, {"bits", "int"}, matrix(), full_range()},
        "cp.ndarray",
        "BGR image of Y'CbCr 4:4:4 given as float32 (H, W, 3) code values divided by 2^bits - 1 (what the "
        "*_to_ycbcr444 functions return): the matrix and range applied, clamped to 0..1.");
}
