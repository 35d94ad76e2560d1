extern "C" __global__ void __launch_bounds__(256) gaussian_rows_kernel$S(const $T* __restrict__ input,
                                                float* __restrict__ output,
                                                const float* __restrict__ weights,
                                                int ksize, int height, int width, int channels) {
    // image blockIdx.z of a batch
    size_t image = (size_t)blockIdx.z * height * width * channels;
    input += image, output += image;
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    const $T* row = input + y * width * channels;
    float* out = output + (y * width + x) * channels;
    int first = x - ksize / 2;
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f;
        for (int k = 0; k < ksize; ++k) sum = fmaf(weights[k], qv_unit_value(row[reflect_101(first + k, width) * channels + c]), sum);
        out[c] = sum;
    }
}
