// Sums of ksize taps at N neighbouring positions (in[q * step], q < N), sliding a window of N
// values: per tap one new value is read for N multiply-adds, each sum in tap order. Whole steps
// of N taps run without tests; ksize is odd and N even, so the last tap, whose window needs no
// further value, is always among the remaining ones.
template <int N>
__device__ __forceinline__ void slide(const float* in, int step, const float* w, int ksize, float (&sum)[N]) {
    float window[N];
    #pragma unroll
    for (int q = 0; q < N; ++q) {
        window[q] = in[q * step];
        sum[q] = 0.0f;
    }
    const float* next = in + N * step;
    int k0 = 0;
    #pragma unroll 1  // the steps are long enough; unrolled, the rest of them would be code for every count
    for (; k0 + N <= ksize; k0 += N) {
        float4 four;  // the step's weights, read four at a time as they are needed
        #pragma unroll
        for (int u = 0; u < N; ++u) {
            if (u % 4 == 0) four = *reinterpret_cast<const float4*>(w + k0 + u);
            float weight = u % 4 == 0 ? four.x : u % 4 == 1 ? four.y : u % 4 == 2 ? four.z : four.w;
            #pragma unroll
            for (int q = 0; q < N; ++q) sum[q] = fmaf(weight, window[(u + q) % N], sum[q]);
            window[u] = next[u * step];
        }
        next += N * step;
    }
    #pragma unroll
    for (int u = 0; u < N - 1; ++u) {
        if (k0 + u >= ksize) break;
        #pragma unroll
        for (int q = 0; q < N; ++q) sum[q] = fmaf(w[k0 + u], window[(u + q) % N], sum[q]);
        if (k0 + u + 1 < ksize) window[u] = next[u * step];
    }
}
