extern "C" __global__ void __launch_bounds__(256) restore_kernel(const float* __restrict__ chw, float* __restrict__ hwc,
                                          int width, int height) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int plane = width * height, at = y * width + x;
    chw += (long long)blockIdx.z * 3 * plane;
    hwc += (long long)blockIdx.z * 3 * plane;
    for (int c = 0; c < 3; ++c) {
        float v = fminf(fmaxf(chw[(2 - c) * plane + at], -1.0f), 1.0f);
        hwc[at * 3 + c] = v / 2.0f + 0.5f;
    }
}
