// Four pixels a thread (qv_load_quad); R and B give where red and blue sit in the input pixel.
template <int R, int B, typename T>
__device__ __forceinline__ void grayscale_of(const T* __restrict__ input, float* __restrict__ gray, int pixels,
                                             int wide) {
    int quad = blockIdx.x * blockDim.x + threadIdx.x;
    if (quad * 4 >= pixels) return;
    int count = qv_quad_count(quad, pixels);
    float v[12];
    qv_load_quad<true>(input, quad, count, wide, v);
    #pragma unroll
    for (int q = 0; q < 4; ++q) {
        float luma = 0.2126f * v[3 * q + R] + 0.7152f * v[3 * q + 1] + 0.0722f * v[3 * q + B];
        v[3 * q] = v[3 * q + 1] = v[3 * q + 2] = luma;
    }
    qv_store_quad(gray, quad, count, wide, v);
}
