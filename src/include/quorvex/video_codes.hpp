// What video files say about their colours and length, in the codes they say it with: the
// H.273 colour codes (which FFmpeg's AVColorSpace, AVColorPrimaries and AVColorTransfer
// follow), FFmpeg's range codes, and the tags Matroska muxers write. One table per concept, for
// the video reader and writer.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace quorvex::video {

namespace nb = nanobind;

// A matrix the YUV kernels apply, with the codes a stream tagged with it carries.
struct Matrix {
    const char *name;     // as quorvex.color.yuv takes it
    int space;            // H.273 MatrixCoefficients (AVColorSpace): what a stream is tagged with
    int primaries;        // H.273 ColourPrimaries that go with it, for files that carry the matrix only
    int transfer;         // H.273 TransferCharacteristics likewise (BT.2020: the 10-bit curve)
    const char *swscale;  // libswscale's name of the matrix, for FFmpeg's own conversions
};

inline constexpr Matrix kMatrices[] = {
    {"bt601", 6, 6, 6, "smpte170m"},
    {"bt709", 1, 1, 1, "itu709"},
    {"bt2020", 9, 9, 14, "bt2020"},
};

// The matrix of a name the table holds, or nullptr.
constexpr const Matrix *find_matrix(std::string_view name) {
    for (const Matrix &m : kMatrices)
        if (name == m.name) return &m;
    return nullptr;
}

// The matrix a stream's AVColorSpace code names: BT.470BG converts as BT.601 (the same
// coefficients); nullptr for any other code (unspecified, or a matrix the kernels do not apply).
constexpr const Matrix *matrix_of_space(int space) {
    if (space == 5) return &kMatrices[0];
    for (const Matrix &m : kMatrices)
        if (space == m.space) return &m;
    return nullptr;
}

inline constexpr int kRangeMpeg = 1, kRangeJpeg = 2;  // AVColorRange: video range, full range

// Colour spaces with matrices other than the three the kernels apply, by name.
inline const char *unconverted_space(int space) {
    switch (space) {
        case 4:
            return "FCC";
        case 7:
            return "SMPTE 240M";
        case 8:
            return "YCgCo";
        case 10:
            return "BT.2020 constant-luminance";
        case 11:
            return "SMPTE 2085";
        case 12:
            return "chroma-derived non-constant-luminance";
        case 13:
            return "chroma-derived constant-luminance";
        case 14:
            return "ICtCp";
        case 15:
            return "IPT-C2";
        case 16:
            return "YCgCo-R even";
        case 17:
            return "YCgCo-R odd";
        default:
            return nullptr;
    }
}

// A Matroska duration tag ("HH:MM:SS.nnnnnnnnn") as an exact fraction of seconds, or None.
inline nb::object duration_tag(nb::handle metadata) {
    nb::object fraction = quorvex::stdlib::fractions.get().attr("Fraction");
    for (const char *key : {"DURATION", "DURATION-eng"}) {
        nb::object tag = metadata.attr("get")(key);
        if (tag.is_none() || !PyUnicode_Check(tag.ptr())) continue;
        std::string t = nb::cast<std::string>(tag);
        size_t a = t.find(':'), b = a == std::string::npos ? a : t.find(':', a + 1);
        if (b == std::string::npos || a == 0 || b == a + 1 || b + 1 == t.size()) continue;
        std::string h = t.substr(0, a), m = t.substr(a + 1, b - a - 1), sec = t.substr(b + 1);
        bool ok = h.find_first_not_of("0123456789") == std::string::npos &&
                  m.find_first_not_of("0123456789") == std::string::npos &&
                  sec.find_first_not_of("0123456789.") == std::string::npos &&
                  sec.find('.') == sec.rfind('.') && sec.front() != '.' && sec.back() != '.';
        if (!ok) continue;
        return fraction(nb::int_(std::stoll(h) * 3600 + std::stoll(m) * 60)) + fraction(nb::str(sec.c_str()));
    }
    return nb::none();
}

// mkvmerge's statistics tag: an exact frame count where the container keeps none (else 0).
inline int64_t count_tag(nb::handle metadata) {
    for (const char *key : {"NUMBER_OF_FRAMES", "NUMBER_OF_FRAMES-eng"}) {
        nb::object tag = metadata.attr("get")(key);
        if (tag.is_none() || !PyUnicode_Check(tag.ptr())) continue;
        std::string t = nb::cast<std::string>(tag);
        if (!t.empty() && t.size() < 19 && t.find_first_not_of("0123456789") == std::string::npos)
            return std::stoll(t);
    }
    return 0;
}

}  // namespace quorvex::video
