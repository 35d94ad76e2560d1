// Device code of the resize interpolations, shared by the resize module and the blob module
// (which resizes and lays out a network input in the same pass). Each sampler computes one
// output pixel of any element type in float32 and hands every channel to an output policy
// (`out.put(x, y, c, value)`), which writes it where and as its caller wants. Products and sums
// are spelled as fmaf, so that every instance rounds alike whatever the compiler would contract.
//
// Scales are src / dst per axis, formed once on the host as 1 / (dst / src) in double the way
// OpenCV forms them, so that sampling positions (and nearest-neighbour picks) fall where OpenCV's
// do: positions stay in double in the nearest, linear and cubic samplers because OpenCV computes
// them in double and a float position moves taps at pixel boundaries on wide images. They are
// formed per column and row of a block, not per pixel (Lanczos-4 rounds them to float, as
// OpenCV does for that interpolation alone), so no pixel does double arithmetic.
#pragma once

#include <cmath>
#include <string>

#include "quorvex/kernel.hpp"

namespace quorvex {

// Lanczos-4's separable path: output rows per tile (a block's), and the input rows and columns a
// tile may reach (down to 1/2: 31 * 2 + 8 = 70). With a slot to spare, its shared arrays fill
// the 48 KiB a block may declare.
inline constexpr int kLanczos4Tile = 32, kLanczos4Span = 71;
// Lanczos-4 doubling both axes: the input rows a block makes, in steps of 9 (its output rows
// are twice as many, its columns 256).
inline constexpr int kLanczos4DoublingRows = 45;

inline const std::string resize_sampling_code =
    std::string(element_types_code) + "#define LANCZOS4_SPAN " + std::to_string(kLanczos4Span) +
    "\n#define LANCZOS4_TILE " + std::to_string(kLanczos4Tile) + "\n#define LANCZOS4_DOUBLING_ROWS " +
    std::to_string(kLanczos4DoublingRows) + "\n" +
#include "quorvex/resize_sampling.cuh.inc"
    ;

// The first tap of output row (or column) i, as lanczos4_axis forms it: the position in double,
// each step rounded and none fused, then rounded to float and floored.
inline int64_t lanczos4_first(int64_t i, double scale) {
    volatile double product = ((double)i + 0.5) * scale;
    float f = (float)(product - 0.5);
    return (int64_t)std::fmax(std::fmin(std::floor(f), 1e9f), -1e9f) - 3;
}

// Whether every tile of `tile` output rows (or columns) along an axis of `size` reaches at most
// kLanczos4Span input rows (or columns): where the separable path holds. Its 32 x 8 blocks make
// tiles of 32 columns by kLanczos4Tile rows.
inline bool lanczos4_span_fits(int64_t size, double scale, int tile) {
    for (int64_t first = 0; first < size; first += tile)
        if (lanczos4_first(first + tile - 1, scale) + 8 - lanczos4_first(first, scale) > kLanczos4Span)
            return false;
    return true;
}

// resize_area's ratio of an axis, input / output size, as the float division it stands for.
inline nb::object area_ratio(int64_t input_size, int64_t output_size) {
    return f32((float)input_size / (float)output_size);
}

}  // namespace quorvex
