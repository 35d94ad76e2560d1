// The YCbCr pixel layouts the package converts on the GPU, in one table: how each is laid out,
// which quorvex.color.yuv functions convert it, and (for those a video decoder gives) FFmpeg's
// name. The colour module's kernels, the video reader and writer, and the command's choice of
// output format (through quorvex.io.video.PIXEL_FORMATS) all read it.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvex {

// Packed 4:2:2 (UYVY, YUYV), 10-bit packed 4:2:2 (v210), three planes, or luma and interleaved
// chroma (NV12, P010).
enum class Layout { Uyvy, Yuyv, V210, Planar, Semi };

struct PixelFormat {
    const char *name;  // FFmpeg's
    Layout layout;
    int bits;                       // 8, 10 or 12; deeper than 8 in 16-bit samples (v210 packs them)
    bool horizontal, vertical;      // chroma columns halved (4:2:2, 4:2:0), chroma rows halved (4:2:0)
    int shift;                      // how far the samples sit above the low bits (P010: 6)
    bool full;                      // full range by definition (FFmpeg's yuvj forms)
    const char *to_bgr, *from_bgr;  // the quorvex.color.yuv conversions
    constexpr bool wide() const { return bits > 8; }
    constexpr bool semi() const { return layout == Layout::Semi; }
    // Planes FFmpeg decodes into: the layouts the video reader and writer take.
    constexpr bool decoded() const { return layout == Layout::Planar || layout == Layout::Semi; }
};

inline constexpr PixelFormat kUyvy{"uyvy422",     Layout::Uyvy, 8, true, false, 0, false,
                                   "uyvy_to_bgr", "bgr_to_uyvy"};
inline constexpr PixelFormat kYuyv{"yuyv422",     Layout::Yuyv, 8, true, false, 0, false,
                                   "yuyv_to_bgr", "bgr_to_yuyv"};
inline constexpr PixelFormat kV210{"v210", Layout::V210,  10,           true, false, 0,
                                   false,  "v210_to_bgr", "bgr_to_v210"};
inline constexpr PixelFormat kYuv420p{"yuv420p",        Layout::Planar,  8, true, true, 0, false,
                                      "yuv420p_to_bgr", "bgr_to_yuv420p"};
inline constexpr PixelFormat kYuvj420p{"yuvj420p",       Layout::Planar,  8, true, true, 0, true,
                                       "yuv420p_to_bgr", "bgr_to_yuv420p"};
inline constexpr PixelFormat kYuv422p{"yuv422p",        Layout::Planar,  8, true, false, 0, false,
                                      "yuv422p_to_bgr", "bgr_to_yuv422p"};
inline constexpr PixelFormat kYuvj422p{"yuvj422p",       Layout::Planar,  8, true, false, 0, true,
                                       "yuv422p_to_bgr", "bgr_to_yuv422p"};
inline constexpr PixelFormat kYuv444p{"yuv444p",        Layout::Planar,  8, false, false, 0, false,
                                      "yuv444p_to_bgr", "bgr_to_yuv444p"};
inline constexpr PixelFormat kYuvj444p{"yuvj444p",       Layout::Planar,  8, false, false, 0, true,
                                       "yuv444p_to_bgr", "bgr_to_yuv444p"};
inline constexpr PixelFormat kYuv420p10{"yuv420p10le",      Layout::Planar,    10, true, true, 0, false,
                                        "yuv420p10_to_bgr", "bgr_to_yuv420p10"};
inline constexpr PixelFormat kYuv422p10{"yuv422p10le",      Layout::Planar,    10, true, false, 0, false,
                                        "yuv422p10_to_bgr", "bgr_to_yuv422p10"};
inline constexpr PixelFormat kYuv444p10{"yuv444p10le",      Layout::Planar,    10, false, false, 0, false,
                                        "yuv444p10_to_bgr", "bgr_to_yuv444p10"};
inline constexpr PixelFormat kYuv420p12{"yuv420p12le",      Layout::Planar,    12, true, true, 0, false,
                                        "yuv420p12_to_bgr", "bgr_to_yuv420p12"};
inline constexpr PixelFormat kYuv422p12{"yuv422p12le",      Layout::Planar,    12, true, false, 0, false,
                                        "yuv422p12_to_bgr", "bgr_to_yuv422p12"};
inline constexpr PixelFormat kYuv444p12{"yuv444p12le",      Layout::Planar,    12, false, false, 0, false,
                                        "yuv444p12_to_bgr", "bgr_to_yuv444p12"};
inline constexpr PixelFormat kNv12{"nv12",        Layout::Semi, 8, true, true, 0, false,
                                   "nv12_to_bgr", "bgr_to_nv12"};
inline constexpr PixelFormat kP010{"p010le", Layout::Semi,  10,           true, true, 6,
                                   false,    "p010_to_bgr", "bgr_to_p010"};

inline constexpr const PixelFormat *kPixelFormats[] = {
    &kUyvy,      &kYuyv,      &kV210,      &kYuv420p,   &kYuvj420p,  &kYuv422p,
    &kYuvj422p,  &kYuv444p,   &kYuvj444p,  &kYuv420p10, &kYuv422p10, &kYuv444p10,
    &kYuv420p12, &kYuv422p12, &kYuv444p12, &kNv12,      &kP010,
};

// The format of FFmpeg's name, or nullptr.
constexpr const PixelFormat *find_pixel_format(std::string_view name) {
    for (const PixelFormat *f : kPixelFormats)
        if (name == f->name) return f;
    return nullptr;
}

// (rows, elements per row) of each plane of a planar or semi-planar layout.
inline std::vector<std::pair<int64_t, int64_t>> plane_shapes(const PixelFormat &f, int64_t width,
                                                             int64_t height) {
    int64_t cw = f.horizontal ? (width + 1) / 2 : width, ch = f.vertical ? (height + 1) / 2 : height;
    if (f.semi()) return {{height, width}, {ch, 2 * cw}};
    return {{height, width}, {ch, cw}, {ch, cw}};
}

}  // namespace quorvex
