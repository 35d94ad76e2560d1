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
