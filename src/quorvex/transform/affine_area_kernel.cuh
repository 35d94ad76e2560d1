extern "C" __global__ void __launch_bounds__(256, 4) affine_area_kernel$S(const $T* __restrict__ input,
                                              $T* __restrict__ output,
                                              float m0, float m1, float m2,
                                              float m3, float m4, float m5,
                                              float half_width, float half_height,
                                              int input_height, int input_width,
                                              int output_height, int output_width,
                                              int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= output_width || y >= output_height) return;
    $T* out = output + (y * output_width + x) * channels;
    AreaBox b;
    if (!area_box(affine_at(m0, m1, m2, x, y), affine_at(m3, m4, m5, x, y), half_width, half_height, input_height, input_width, b)) {
        for (int c = 0; c < channels; ++c) qv_unit_store(out + c, 0.0f);
        return;
    }
    for (int c = 0; c < channels; ++c) qv_unit_store(out + c, area_value(input, b, input_width, channels, c));
}
