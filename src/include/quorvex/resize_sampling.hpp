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

#include <string>

#include "quorvex/kernel.hpp"

namespace quorvex {

inline const std::string resize_sampling_code = std::string(element_types_code) +
#include "quorvex/resize_sampling.cuh.inc"
    ;

// resize_area's ratio of an axis, input / output size, as the float division it stands for.
inline nb::object area_ratio(int64_t input_size, int64_t output_size) {
    return f32((float)input_size / (float)output_size);
}

}  // namespace quorvex
