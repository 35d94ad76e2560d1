__device__ __forceinline__ float affine_at(float a, float b, float c, int x, int y) { return fmaf(a, (float)x, fmaf(b, (float)y, c)); }

struct LinearTaps {
    int i00, i01, i10, i11;
    float w00, w01, w10, w11;
};

__device__ __forceinline__ bool linear_taps(float sx, float sy, int input_height, int input_width, int channels, LinearTaps& t) {
    // Also rejects positions too far out to convert to int.
    if (!(sx > -1.0f && sx < (float)input_width && sy > -1.0f && sy < (float)input_height)) return false;
    int x0 = (int)floorf(sx), y0 = (int)floorf(sy);
    float fx = sx - x0, fy = sy - y0;
    bool has_left = x0 >= 0, has_right = x0 + 1 < input_width;
    bool has_top = y0 >= 0, has_bottom = y0 + 1 < input_height;
    t.w00 = (has_top && has_left) ? (1.0f - fx) * (1.0f - fy) : 0.0f;
    t.w01 = (has_top && has_right) ? fx * (1.0f - fy) : 0.0f;
    t.w10 = (has_bottom && has_left) ? (1.0f - fx) * fy : 0.0f;
    t.w11 = (has_bottom && has_right) ? fx * fy : 0.0f;
    int xl = max(x0, 0), xr = min(x0 + 1, input_width - 1);
    int yt = max(y0, 0), yb = min(y0 + 1, input_height - 1);
    t.i00 = (yt * input_width + xl) * channels;
    t.i01 = (yt * input_width + xr) * channels;
    t.i10 = (yb * input_width + xl) * channels;
    t.i11 = (yb * input_width + xr) * channels;
    return true;
}

// Any element type, integers read over their range as 0..1 (qv_unit_value).
template <typename T>
__device__ __forceinline__ float linear_value(const T* __restrict__ input, const LinearTaps& t, int c) {
    return fmaf(t.w11, qv_unit_value(input[t.i11 + c]),
                fmaf(t.w10, qv_unit_value(input[t.i10 + c]),
                     fmaf(t.w01, qv_unit_value(input[t.i01 + c]), t.w00 * qv_unit_value(input[t.i00 + c]))));
}

struct AreaBox {
    float left, right, top, bottom, inverse_area;
    int x0, x1, y0, y1;
};

__device__ __forceinline__ bool area_box(float cx, float cy, float half_width, float half_height, int input_height, int input_width,
                         AreaBox& b) {
    b.left = cx - half_width, b.right = cx + half_width;
    b.top = cy - half_height, b.bottom = cy + half_height;
    // Also rejects positions too far out to convert to int.
    if (!(b.right > 0.0f && b.left < (float)input_width && b.bottom > 0.0f && b.top < (float)input_height))
        return false;
    b.x0 = (int)fmaxf(floorf(b.left), 0.0f), b.x1 = (int)fminf(ceilf(b.right), (float)input_width);
    b.y0 = (int)fmaxf(floorf(b.top), 0.0f), b.y1 = (int)fminf(ceilf(b.bottom), (float)input_height);
    b.inverse_area = qv_divide(1.0f, (b.right - b.left) * (b.bottom - b.top));
    return true;
}

template <typename T>
__device__ __forceinline__ float area_value(const T* __restrict__ input, const AreaBox& b, int input_width, int channels, int c) {
    float sum = 0.0f;
    // Boxes are a few pixels across: loops unrolled would mostly run the code for the rest.
    #pragma unroll 1
    for (int iy = b.y0; iy < b.y1; ++iy) {
        const T* row = input + iy * input_width * channels + c;
        float row_sum = 0.0f;
        #pragma unroll 1
        for (int ix = b.x0; ix < b.x1; ++ix)
            row_sum = fmaf(fminf(b.right, ix + 1.0f) - fmaxf(b.left, (float)ix), qv_unit_value(row[ix * channels]), row_sum);
        sum = fmaf(fminf(b.bottom, iy + 1.0f) - fmaxf(b.top, (float)iy), row_sum, sum);
    }
    return sum * b.inverse_area;
}

// The table row of the warp by a 2 x 3 matrix M (input -> output pixels), computed on the device
// as invert_affine and warp_row compute it on the host, each step rounded as there. A singular or
// non-finite M gives a row that samples nothing.
__device__ __forceinline__ void warp_row_of(const double* m, float* row) {
    double det = __dadd_rn(__dmul_rn(m[0], m[4]), -__dmul_rn(m[1], m[3]));
    double r = 1.0 / det;
    double inv[6] = {__dmul_rn(m[4], r), __dmul_rn(-m[1], r), 0.0, __dmul_rn(-m[3], r), __dmul_rn(m[0], r), 0.0};
    inv[2] = __dadd_rn(__dmul_rn(-inv[0], m[2]), -__dmul_rn(inv[1], m[5]));
    inv[5] = __dadd_rn(__dmul_rn(-inv[3], m[2]), -__dmul_rn(inv[4], m[5]));
    bool ok = det != 0.0;
    for (int k = 0; k < 6; ++k) ok = ok && isfinite(inv[k]);
    if (!ok) {
        for (int k = 0; k < 8; ++k) row[k] = nanf("");
        return;
    }
    double scale_x = hypot(inv[0], inv[1]), scale_y = hypot(inv[3], inv[4]);
    bool area = fmax(scale_x, scale_y) > 1.0 + 1e-6;
    for (int k = 0; k < 6; ++k) row[k] = (float)(area && k % 3 == 2 ? inv[k] + 0.5 : inv[k]);
    row[6] = area ? (float)(0.5 * fmax(scale_x, 1.0)) : 0.0f;
    row[7] = area ? (float)(0.5 * fmax(scale_y, 1.0)) : 0.0f;
}
