// x * top rounded to nearest (ties to even) as if in exact arithmetic, clipped to 0 .. top,
// NaN to 0; without doubles: fmaf gives the product's rounding error, which settles the ties
// the float product creates.
__device__ __forceinline__ float quantize(float v, float top) {
    float p = v * top;
    if (p != p) return 0.0f;
    float e = fmaf(v, top, -p);
    float r = rintf(p);
    if (fabsf(p - r) == 0.5f && e != 0.0f) r = e > 0.0f ? floorf(p) + 1.0f : floorf(p);
    return fminf(fmaxf(r, 0.0f), top);
}

// The blended canvas, rows first .. first + rows - 1 (each `pitch` floats apart, `row`
// elements used), to 8 or 16 bits, rows `row` elements apart. The output may lie in the canvas's
// own memory, behind the rows a launch reads (hence no __restrict__).
template <typename T>
__device__ __forceinline__ void store_rows(const float* canvas, T* out, long long pitch, int row,
                                           int first, int rows, float top) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (i >= row || y >= rows) return;
    out[(long long)y * row + i] = (T)quantize(canvas[(long long)(first + y) * pitch + i], top);
}

extern "C" __global__ void __launch_bounds__(256) store_uint8_kernel(
        const float* canvas, unsigned char* out, long long pitch, int row, int first, int rows) {
    store_rows(canvas, out, pitch, row, first, rows, 255.0f);
}

extern "C" __global__ void __launch_bounds__(256) store_uint16_kernel(
        const float* canvas, unsigned short* out, long long pitch, int row, int first, int rows) {
    store_rows(canvas, out, pitch, row, first, rows, 65535.0f);
}
