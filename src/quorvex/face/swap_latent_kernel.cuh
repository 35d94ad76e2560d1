extern "C" __global__ void __launch_bounds__(256) swap_latent_kernel(const float* __restrict__ embedding,
                                                                     const float* __restrict__ emap,
                                                                     float* __restrict__ latent, int rows, int cols) {
    __shared__ float squares[256];
    float square_sum = 0.0f;
    for (int j = threadIdx.x; j < cols; j += 256) {
        float sum = 0.0f;
        for (int i = 0; i < rows; ++i) sum = fmaf(embedding[i], emap[(long long)i * cols + j], sum);
        latent[j] = sum;
        square_sum = fmaf(sum, sum, square_sum);
    }
    squares[threadIdx.x] = square_sum;
    __syncthreads();
    for (int half = 128; half > 0; half >>= 1) {
        if (threadIdx.x < half) squares[threadIdx.x] += squares[threadIdx.x + half];
        __syncthreads();
    }
    if (threadIdx.x == 0) latent[cols] = sqrtf(squares[0]);
}
