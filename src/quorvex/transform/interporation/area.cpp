// Area-average resampling kernels. The resize and affine modules launch them with a 2-D grid
// covering the output; this module only defines and compiles them.
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Each output pixel averages the source pixels its footprint overlaps, weighted by the
// overlap. Shrinking averages whole blocks; enlarging blends at most two neighbours per axis.
// Three channels (the common case) accumulate in one pass over the footprint, any other count
// channel by channel; both sum in the same order, so the results are the same.
const char *area_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) area_kernel(const float* __restrict__ input,
                                       float* __restrict__ output,
                                       int input_width, int input_height,
                                       int new_width, int new_height, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= new_width || y >= new_height) return;

    float x_ratio = (float)input_width / new_width;
    float y_ratio = (float)input_height / new_height;
    float x0 = x * x_ratio, x1 = (x + 1) * x_ratio;
    float y0 = y * y_ratio, y1 = (y + 1) * y_ratio;
    int x_start = max(0, (int)floorf(x0));
    int x_end = min(input_width, (int)ceilf(x1));
    int y_start = max(0, (int)floorf(y0));
    int y_end = min(input_height, (int)ceilf(y1));
    int out = (y * new_width + x) * channels;

    if (channels == 3) {
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, weight_sum = 0.0f;
        for (int sy = y_start; sy < y_end; ++sy) {
            float wy = fminf(y1, sy + 1.0f) - fmaxf(y0, (float)sy);
            for (int sx = x_start; sx < x_end; ++sx) {
                float w = (fminf(x1, sx + 1.0f) - fmaxf(x0, (float)sx)) * wy;
                const float* p = input + (sy * input_width + sx) * 3;
                s0 += p[0] * w;
                s1 += p[1] * w;
                s2 += p[2] * w;
                weight_sum += w;
            }
        }
        bool any = weight_sum > 0.0f;
        output[out] = any ? s0 / weight_sum : 0.0f;
        output[out + 1] = any ? s1 / weight_sum : 0.0f;
        output[out + 2] = any ? s2 / weight_sum : 0.0f;
        return;
    }
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f, weight_sum = 0.0f;
        for (int sy = y_start; sy < y_end; ++sy) {
            float wy = fminf(y1, sy + 1.0f) - fmaxf(y0, (float)sy);
            for (int sx = x_start; sx < x_end; ++sx) {
                float w = (fminf(x1, sx + 1.0f) - fmaxf(x0, (float)sx)) * wy;
                sum += input[(sy * input_width + sx) * channels + c] * w;
                weight_sum += w;
            }
        }
        output[out + c] = weight_sum > 0.0f ? sum / weight_sum : 0.0f;
    }
}
)";

// Samples an RGB image through a matrix that maps output pixel centres to input positions.
// The footprint is one output pixel's extent in the input (the matrix rows' lengths), so a
// shrinking warp averages instead of skipping pixels. Edge weights come from the unclipped
// footprint: where it reaches past the border, the outermost pixel inside counts for more.
const char *area_affine_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) area_affine_kernel(const float* __restrict__ input,
                                              float* __restrict__ output,
                                              const float* __restrict__ matrix,
                                              int input_height, int input_width,
                                              int output_height, int output_width) {
    unsigned int output_x = blockIdx.x * blockDim.x + threadIdx.x;
    unsigned int output_y = blockIdx.y * blockDim.y + threadIdx.y;
    if (output_x >= (unsigned int)output_width || output_y >= (unsigned int)output_height) return;

    float m0 = matrix[0], m1 = matrix[1], m2 = matrix[2];
    float m3 = matrix[3], m4 = matrix[4], m5 = matrix[5];
    float px = output_x + 0.5f, py = output_y + 0.5f;
    float center_x = m0 * px + m1 * py + m2;
    float center_y = m3 * px + m4 * py + m5;
    float half_width = 0.5f * sqrtf(m0 * m0 + m1 * m1);
    float half_height = 0.5f * sqrtf(m3 * m3 + m4 * m4);
    float left = center_x - half_width, right = center_x + half_width;
    float top = center_y - half_height, bottom = center_y + half_height;

    int ix0 = max(0, (int)floorf(left));
    int ix1 = min(input_width, (int)ceilf(right));
    int iy0 = max(0, (int)floorf(top));
    int iy1 = min(input_height, (int)ceilf(bottom));
    int out = (output_y * output_width + output_x) * 3;
    if (ix0 >= input_width || ix1 <= 0 || iy0 >= input_height || iy1 <= 0) {
        output[out] = 0.0f;
        output[out + 1] = 0.0f;
        output[out + 2] = 0.0f;
        return;
    }
    for (int c = 0; c < 3; ++c) {
        float sum = 0.0f, total = 0.0f;
        for (int y = iy0; y < iy1; ++y) {
            float wy = 1.0f;
            if (y == iy0) wy = 1.0f - (top - y);
            if (y == iy1 - 1) wy = 1.0f - (y + 1 - bottom);
            for (int x = ix0; x < ix1; ++x) {
                float wx = 1.0f;
                if (x == ix0) wx = 1.0f - (left - x);
                if (x == ix1 - 1) wx = 1.0f - (x + 1 - right);
                float w = wx * wy;
                sum += input[(y * input_width + x) * 3 + c] * w;
                total += w;
            }
        }
        output[out + c] = total > 0.0f ? sum / total : 0.0f;
    }
}
)";

}  // namespace

NB_MODULE(area, m) {
    m.doc() =
        "Area-average resampling kernels (float32, interleaved rows), launched by the resize and "
        "affine modules.";
    qv::add_kernel(m, "area_kernel", area_kernel_code);
    qv::add_kernel(m, "area_affine_kernel", area_affine_kernel_code);
}
