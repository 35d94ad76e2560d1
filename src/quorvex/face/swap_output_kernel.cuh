extern "C" __global__ void __launch_bounds__(256) swap_output_kernel(const float* __restrict__ planes,
                                                                     float* __restrict__ image, int width, int height) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int plane = width * height, at = y * width + x;
    planes += (long long)blockIdx.z * 3 * plane;
    image += (long long)blockIdx.z * 3 * plane;
    for (int c = 0; c < 3; ++c) {
        float v = planes[(2 - c) * plane + at];
        image[at * 3 + c] = v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v;
    }
}
