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
        float weight[N];
        #pragma unroll
        for (int u = 0; u < N; u += 4) {
            float4 four = *reinterpret_cast<const float4*>(w + k0 + u);
            weight[u] = four.x, weight[u + 1] = four.y, weight[u + 2] = four.z, weight[u + 3] = four.w;
        }
        #pragma unroll
        for (int u = 0; u < N; ++u) {
            #pragma unroll
            for (int q = 0; q < N; ++q) sum[q] = fmaf(weight[u], window[(u + q) % N], sum[q]);
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
