// Area-average resampling kernels of float32 images, defined and compiled here for callers who
// launch them (2-D grids covering the output). Of the package's own functions, resize's
// INTER_AREA runs area_kernel's sampler (in every element type, from resize_kernel_code); the
// affine warps average shrinking footprints with the warp sampler's exact overlap over the whole
// footprint (outside pixels count as zero), a rule of their own; area_affine_kernel's rule
// (below) is used by nothing else.
#include "quorvex/kernel.hpp"
#include "quorvex/resize_sampling.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Each output pixel averages the source pixels its footprint overlaps, weighted by the overlap:
// resize's INTER_AREA sampler itself (resize_sampling.hpp), here as a float32 kernel that forms
// the ratios (input / output size, one float division each) on the device.
const std::string area_kernel_code = qv::resize_sampling_code + R"(
extern "C" __global__ void __launch_bounds__(256) area_kernel(const float* __restrict__ input,
                                       float* __restrict__ output,
                                       int input_width, int input_height,
                                       int new_width, int new_height, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= new_width || y >= new_height) return;
    ResizedImage<float> out{output, new_width, channels};
    resize_area(input, out, x, y, input_width, input_height, (float)input_width / new_width,
                (float)input_height / new_height, channels);
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
        "Area-average resampling kernels (float32, interleaved rows) for callers to launch: area_kernel "
        "is resize's INTER_AREA sampler, area_affine_kernel a warp with a footprint sized by the "
        "matrix's scale.";
    qv::add_kernel(m, "area_kernel", area_kernel_code.c_str());
    qv::add_kernel(m, "area_affine_kernel", area_affine_kernel_code);
}
