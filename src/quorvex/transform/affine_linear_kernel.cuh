extern "C" __global__ void __launch_bounds__(256) affine_linear_kernel$S(const $T* __restrict__ input,
                                                $T* __restrict__ output,
                                                float m0, float m1, float m2,
                                                float m3, float m4, float m5,
                                                int input_height, int input_width,
                                                int output_height, int output_width,
                                                int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= output_width || y >= output_height) return;
    $T* out = output + (y * output_width + x) * channels;
    LinearTaps t;
    if (!linear_taps(affine_at(m0, m1, m2, x, y), affine_at(m3, m4, m5, x, y), input_height, input_width, channels, t)) {
        for (int c = 0; c < channels; ++c) qv_unit_store(out + c, 0.0f);
        return;
    }
    for (int c = 0; c < channels; ++c) qv_unit_store(out + c, linear_value(input, t, c));
}
