extern "C" __global__ void __launch_bounds__(256) gaussian_cols_kernel$S(const float* __restrict__ input,
                                                $T* __restrict__ output,
                                                const float* __restrict__ weights,
                                                int ksize, int height, int width, int channels) {
    // image blockIdx.z of a batch
    size_t image = (size_t)blockIdx.z * height * width * channels;
    input += image, output += image;
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    const float* column = input + x * channels;
    int stride = width * channels;
    $T* out = output + (y * width + x) * channels;
    int first = y - ksize / 2;
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f;
        for (int k = 0; k < ksize; ++k) sum = fmaf(weights[k], column[reflect_101(first + k, height) * stride + c], sum);
        qv_unit_store(out + c, sum);
    }
}
