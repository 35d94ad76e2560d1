// Four elements a thread, in one 16-byte access per array where `wide` says all four are
// aligned for it, element by element otherwise (and for the last ones).
extern "C" __global__ void __launch_bounds__(256) blend_kernel(const float* __restrict__ warped, const float* __restrict__ mask,
                                        const float* __restrict__ frame, float* __restrict__ merged,
                                        int count, int wide) {
    long long first = (blockIdx.x * blockDim.x + threadIdx.x) * 4LL;  // count may be near INT32_MAX
    if (first >= count) return;
    if (wide && first + 4 <= count) {
        Four<float> w = *reinterpret_cast<const Four<float>*>(warped + first);
        Four<float> m = *reinterpret_cast<const Four<float>*>(mask + first);
        Four<float> f = *reinterpret_cast<const Four<float>*>(frame + first);
        Four<float> out;
        #pragma unroll
        for (int k = 0; k < 4; ++k) out.v[k] = fmaf(m.v[k], w.v[k], (1.0f - m.v[k]) * f.v[k]);
        *reinterpret_cast<Four<float>*>(merged + first) = out;
        return;
    }
    for (long long i = first; i < first + 4 && i < count; ++i) merged[i] = fmaf(mask[i], warped[i], (1.0f - mask[i]) * frame[i]);
}
