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

#include <algorithm>
#include <cmath>
#include <string>

#include "quorvex/kernel.hpp"

namespace quorvex {

// Lanczos-4's separable kernels: a block's output columns (one per thread of its 32 x 8), its
// output rows at most, and the input columns it may reach (down to 1/2: 255 * 2 + 8 = 518, with
// a slot to spare).
inline constexpr int kLanczos4Columns = 256, kLanczos4Strip = 128, kLanczos4Slots = 520;

// The strips the rows of an image are split into: of kLanczos4Strip rows, or shorter (down to 16)
// where that leaves fewer than 264 blocks, two for each multiprocessor of an H100, so that
// smaller images still occupy the device.
inline int64_t lanczos4_strips(int64_t new_width, int64_t new_height) {
    int64_t columns = (new_width + kLanczos4Columns - 1) / kLanczos4Columns;
    int64_t fewest = (new_height + kLanczos4Strip - 1) / kLanczos4Strip;
    return std::max(fewest, std::min((new_height + 15) / 16, (264 + columns - 1) / columns));
}

inline const std::string resize_sampling_code = std::string(element_types_code) + "#define LANCZOS4_STRIP " +
                                                std::to_string(kLanczos4Strip) + "\n#define LANCZOS4_SLOTS " +
                                                std::to_string(kLanczos4Slots) + "\n" +
#include "quorvex/resize_sampling.cuh.inc"
    ;

// The first tap of output row (or column) i, as lanczos4_axis forms it: the position in double,
// each step rounded and none fused, then rounded to float and floored.
inline int64_t lanczos4_first(int64_t i, double scale) {
    volatile double product = ((double)i + 0.5) * scale;
    float f = (float)(product - 0.5);
    return (int64_t)std::fmax(std::fmin(std::floor(f), 1e9f), -1e9f) - 3;
}

// Whether every block's kLanczos4Columns output columns along an axis of `size` reach at most
// kLanczos4Slots input columns: where the separable kernels hold.
inline bool lanczos4_columns_fit(int64_t size, double scale) {
    for (int64_t first = 0; first < size; first += kLanczos4Columns)
        if (lanczos4_first(first + kLanczos4Columns - 1, scale) + 8 - lanczos4_first(first, scale) >
            kLanczos4Slots)
            return false;
    return true;
}

// resize_area's ratio of an axis, input / output size, as the float division it stands for.
inline nb::object area_ratio(int64_t input_size, int64_t output_size) {
    return f32((float)input_size / (float)output_size);
}

}  // namespace quorvex
