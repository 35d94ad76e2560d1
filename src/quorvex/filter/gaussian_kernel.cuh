#define TILE 32
#define MAX_RADIUS 32
#define PITCH 97  // >= TILE + 2 * MAX_RADIUS, and 1 more than a multiple of 32
extern "C" __global__ void __launch_bounds__(256, 4) gaussian_kernel$S(const $T* __restrict__ input,
                                                                    $T* __restrict__ output,
                                                                    const float* __restrict__ weights,
                                                                    int ksize, int height, int width, int channels) {
    // image blockIdx.z of a batch
    size_t image = (size_t)blockIdx.z * height * width * channels;
    input += image, output += image;
    __shared__ __align__(16) float w[2 * MAX_RADIUS + 8];  // read four at a time, eight taps a step
    __shared__ float patch[(TILE + 2 * MAX_RADIUS) * PITCH];
    int radius = ksize / 2, span = TILE + 2 * radius;
    int x0 = blockIdx.x * TILE, y0 = blockIdx.y * TILE;
    int thread = threadIdx.y * TILE + threadIdx.x;
    for (int k = thread; k < ((ksize + 7) & ~7); k += TILE * 8) w[k] = k < ksize ? weights[k] : 0.0f;
    bool inside = x0 >= radius && x0 + TILE + radius <= width && y0 >= radius && y0 + TILE + radius <= height;
    for (int c = 0; c < channels; ++c) {
        for (int i = threadIdx.y; i < span; i += 8) {
            int source = inside ? y0 - radius + i : reflect_101(y0 - radius + i, height);
            const $T* row = input + source * width * channels + c;
            for (int j = threadIdx.x; j < span; j += TILE) {
                int column = inside ? x0 - radius + j : reflect_101(x0 - radius + j, width);
                patch[i * PITCH + j] = qv_unit_value(row[column * channels]);
            }
        }
        __syncthreads();
        // Rows: at most two tasks a thread, their sums kept until every window has been read.
        float sums[2][8] = {};
        #pragma unroll
        for (int round = 0; round < 2; ++round) {
            int task = thread + round * TILE * 8;
            if (task < span * (TILE / 8)) slide<8>(patch + (task >> 2) * PITCH + (task & 3) * 8, 1, w, ksize, sums[round]);
        }
        __syncthreads();
        #pragma unroll
        for (int round = 0; round < 2; ++round) {
            int task = thread + round * TILE * 8;
            if (task < span * (TILE / 8)) {
                float* out = patch + (task >> 2) * PITCH + (task & 3) * 8;
                #pragma unroll
                for (int q = 0; q < 8; ++q) out[q] = sums[round][q];
            }
        }
        __syncthreads();
        // Columns: rows 4 ty to 4 ty + 3 of column tx.
        float sum[4];
        slide<4>(patch + 4 * threadIdx.y * PITCH + threadIdx.x, PITCH, w, ksize, sum);
        int x = x0 + threadIdx.x;
        #pragma unroll
        for (int q = 0; q < 4; ++q) {
            int y = y0 + 4 * threadIdx.y + q;
            if (x < width && y < height) qv_unit_store(output + (y * width + x) * channels + c, sum[q]);
        }
        __syncthreads();  // before the next channel's patch
    }
}
