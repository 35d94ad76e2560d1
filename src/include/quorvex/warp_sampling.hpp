// Device code shared by the affine warps and the paste-back: how one output pixel samples an
// input image at a position, bilinearly or by averaging its footprint. Kernel texts prepend it,
// so that a crop warped alone, warped in a batch and pasted back all compute the same values.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "quorvex/kernel.hpp"

namespace quorvex {

// Bilinear: taps outside the input have weight 0 (the image fades to black at its edges) and
// read a clamped neighbour, so every read is in bounds. (sx, sy) has integer pixel centres;
// returns false, writing nothing, when no tap is inside.
// Area: the box [left, right) x [top, bottom) in input coordinates where pixel i spans
// [i, i + 1), pixels outside counting as 0, divided by the box's area.
// The arithmetic is spelled out with fmaf so that every kernel that includes this rounds alike,
// whatever the compiler would contract in its context.
inline const std::string warp_sampling_code = std::string(element_types_code) +
#include "quorvex/warp_sampling.cuh.inc"
    ;

// A warp's parameters per image, as the batched kernels read them from a device table: the
// matrix mapping output pixels to input positions, then the footprint's half extents. Half
// extents of 0 mean bilinear sampling (integer pixel centres); otherwise the matrix maps into
// area coordinates (pixel i spans [i, i + 1)). A row whose first entry is NaN samples nothing.
inline constexpr int kWarpRow = 8;

// The table row of a warp whose inverse (output pixels -> input pixels) is inv. Shrinking warps
// average the footprint instead of skipping pixels; the margin keeps rotations whose scale is 1
// up to rounding on the bilinear path.
inline std::array<float, kWarpRow> warp_row(const std::array<double, 6> &inv) {
    double scale_x = std::hypot(inv[0], inv[1]), scale_y = std::hypot(inv[3], inv[4]);
    if (std::max(scale_x, scale_y) > 1.0 + 1e-6)
        return {(float)inv[0],
                (float)inv[1],
                (float)(inv[2] + 0.5),
                (float)inv[3],
                (float)inv[4],
                (float)(inv[5] + 0.5),
                (float)(0.5 * std::max(scale_x, 1.0)),
                (float)(0.5 * std::max(scale_y, 1.0))};
    return {(float)inv[0], (float)inv[1], (float)inv[2], (float)inv[3],
            (float)inv[4], (float)inv[5], 0.0f,          0.0f};
}

}  // namespace quorvex
