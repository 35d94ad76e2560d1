template <int N>
__device__ __forceinline__ void slide(const float* in, int step, const float* w, int ksize, float (&sum)[N]) {
    float window[N];
    #pragma unroll
    for (int q = 0; q < N; ++q) {
        window[q] = in[q * step];
        sum[q] = 0.0f;
    }
    for (int k0 = 0; k0 < ksize; k0 += N) {
        float weight[N];
        #pragma unroll
        for (int u = 0; u < N; u += 4) {
            float4 four = *reinterpret_cast<const float4*>(w + k0 + u);
            weight[u] = four.x, weight[u + 1] = four.y, weight[u + 2] = four.z, weight[u + 3] = four.w;
        }
        #pragma unroll
        for (int u = 0; u < N; ++u) {
            int k = k0 + u;
            if (k < ksize) {
                #pragma unroll
                for (int q = 0; q < N; ++q) sum[q] = fmaf(weight[u], window[(u + q) % N], sum[q]);
                if (k + 1 < ksize) window[u] = in[(k + N) * step];
            }
        }
    }
}
