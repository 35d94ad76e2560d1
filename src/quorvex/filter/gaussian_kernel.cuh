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
    __shared__ __align__(16) float w[2 * MAX_RADIUS + 8];  // read four at a time
    __shared__ float patch[(TILE + 2 * MAX_RADIUS) * PITCH];
    int radius = ksize / 2, span = TILE + 2 * radius;
    int x0 = blockIdx.x * TILE, y0 = blockIdx.y * TILE;
    int thread = threadIdx.y * TILE + threadIdx.x;
    for (int k = thread; k < ((ksize + 7) & ~7); k += TILE * 8) w[k] = k < ksize ? weights[k] : 0.0f;
    bool inside = x0 >= radius && x0 + TILE + radius <= width && y0 >= radius && y0 + TILE + radius <= height;
    // Rows: half a row's 32 columns a task, at most 2 * (TILE + 2 * MAX_RADIUS) = 192 tasks, one
    // a thread.
    bool row_task = thread < 2 * span;
    float* half_row = patch + (thread >> 1) * PITCH + (thread & 1) * 16;
    __syncthreads();  // the weights
    for (int c = 0; c < channels; ++c) {
        if (inside) {  // most tiles: no reflection, so row and column offsets advance by steps
            const $T* row = input + ((y0 - radius + threadIdx.y) * width + x0 - radius) * channels + c;
            float* to = patch + threadIdx.y * PITCH;
            // A row's first two runs of 32 columns in each step, so that their loads overlap; a
            // third only for blurs of more than 33 taps.
            const int first = threadIdx.x, second = threadIdx.x + TILE, step = 8 * width * channels;
            const int from_first = first * channels, from_second = second * channels;
            #pragma unroll 1
            for (int i = threadIdx.y; i < span; i += 8, row += step, to += 8 * PITCH) {
                if (first < span) to[first] = qv_unit_value(row[from_first]);
                if (second < span) to[second] = qv_unit_value(row[from_second]);
                #pragma unroll 1
                for (int j = threadIdx.x + 2 * TILE; j < span; j += TILE) to[j] = qv_unit_value(row[j * channels]);
            }
        } else {
            #pragma unroll 1
            for (int i = threadIdx.y; i < span; i += 8) {
                const $T* row = input + reflect_101(y0 - radius + i, height) * width * channels + c;
                #pragma unroll 1
                for (int j = threadIdx.x; j < span; j += TILE)
                    patch[i * PITCH + j] = qv_unit_value(row[reflect_101(x0 - radius + j, width) * channels]);
            }
        }
        __syncthreads();
        float sums[16];  // kept until every window has been read
        if (row_task) slide<16>(half_row, 1, w, ksize, sums);
        __syncthreads();
        if (row_task) {
            #pragma unroll
            for (int q = 0; q < 16; ++q) half_row[q] = sums[q];
        }
        __syncthreads();
        // Columns: rows 8 ty to 8 ty + 7 of column tx, by the first four warps.
        if (threadIdx.y < 4) {
            float sum[8];
            slide<8>(patch + 8 * threadIdx.y * PITCH + threadIdx.x, PITCH, w, ksize, sum);
            int x = x0 + threadIdx.x;
            #pragma unroll
            for (int q = 0; q < 8; ++q) {
                int y = y0 + 8 * threadIdx.y + q;
                if (x < width && y < height) qv_unit_store(output + (y * width + x) * channels + c, sum[q]);
            }
        }
        __syncthreads();  // before the next channel's patch
    }
}
