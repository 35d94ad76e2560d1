template <typename T>
__device__ __forceinline__ void warp_pixel(const T* __restrict__ input, T* __restrict__ out, const float* m, int x,
                                           int y, int input_height, int input_width, int channels) {
    float sx = affine_at(m[0], m[1], m[2], x, y), sy = affine_at(m[3], m[4], m[5], x, y);
    if (m[6] > 0.0f) {
        AreaBox b;
        if (area_box(sx, sy, m[6], m[7], input_height, input_width, b)) {
            for (int c = 0; c < channels; ++c) qv_unit_store(out + c, area_value(input, b, input_width, channels, c));
            return;
        }
    } else {
        LinearTaps t;
        if (linear_taps(sx, sy, input_height, input_width, channels, t)) {
            for (int c = 0; c < channels; ++c) qv_unit_store(out + c, linear_value(input, t, c));
            return;
        }
    }
    for (int c = 0; c < channels; ++c) qv_unit_store(out + c, 0.0f);
}
