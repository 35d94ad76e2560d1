extern "C" __global__ void __launch_bounds__(256) blend_kernel(const float* __restrict__ warped, const float* __restrict__ mask,
                                        const float* __restrict__ frame, float* __restrict__ merged,
                                        int count) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) return;
    float m = mask[i];
    merged[i] = fmaf(m, warped[i], (1.0f - m) * frame[i]);
}
