// Four pixels a thread (qv_map_quad); R and B give where red and blue sit in the input pixel.
template <int R, int B, typename T>
__device__ __forceinline__ void grayscale_of(const T* __restrict__ input, float* __restrict__ gray, int pixels,
                                             int wide) {
    qv_map_quad<true>(input, gray, pixels, wide, [](float& first, float& g, float& last) {
        float r = R == 0 ? first : last, b = B == 0 ? first : last;
        first = g = last = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    });
}
