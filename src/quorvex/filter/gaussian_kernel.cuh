#define TILE 32  // a tile's columns; its rows, TILE_ROWS (a multiple of 8), are the host's
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
    __shared__ float patch[(TILE_ROWS + 2 * MAX_RADIUS) * PITCH];
    int radius = ksize / 2, span = TILE + 2 * radius, rows = TILE_ROWS + 2 * radius;
    int x0 = blockIdx.x * TILE, y0 = blockIdx.y * TILE_ROWS;
    int thread = threadIdx.y * TILE + threadIdx.x;
    for (int k = thread; k < ((ksize + 7) & ~7); k += TILE * 8) w[k] = k < ksize ? weights[k] : 0.0f;
    bool inside = x0 >= radius && x0 + TILE + radius <= width && y0 >= radius && y0 + TILE_ROWS + radius <= height;
    // Rows: half a row's 32 columns a task, at most 2 * (TILE_ROWS + 2 * MAX_RADIUS) = 224 tasks,
    // one a thread.
    bool row_task = thread < 2 * rows;
    float* half_row = patch + (thread >> 1) * PITCH + (thread & 1) * 16;
    __syncthreads();  // the weights
    for (int c = 0; c < channels; ++c) {
        if (inside) {  // most tiles: no reflection, so a thread's offsets advance by steps
            // 64 columns by 4 rows at a time: each thread keeps its column and steps down its rows,
            // one load, one store and the pointers' steps a value.
            const int column = thread & 63, first_row = thread >> 6;
            const int step = 4 * width * channels;
            #pragma unroll 1
            for (int j = column; j < span; j += 64) {
                const $T* from = input + ((y0 - radius + first_row) * width + x0 - radius + j) * channels + c;
                float* to = patch + first_row * PITCH + j;
                #pragma unroll 2
                for (int i = first_row; i < rows; i += 4, from += step, to += 4 * PITCH) *to = qv_unit_value(*from);
            }
        } else {
            #pragma unroll 1
            for (int i = threadIdx.y; i < rows; i += 8) {
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
        // Columns: rows 8 ty to 8 ty + 7 of column tx, by the first six warps.
        if (threadIdx.y < TILE_ROWS / 8) {
            float sum[8];
            slide<8>(patch + 8 * threadIdx.y * PITCH + threadIdx.x, PITCH, w, ksize, sum);
            int x = x0 + threadIdx.x, y = y0 + 8 * threadIdx.y;
            $T* to = output + (y * width + x) * channels + c;  // stepped, not formed again per row
            #pragma unroll
            for (int q = 0; q < 8; ++q, to += width * channels)
                if (x < width && y + q < height) qv_unit_store(to, sum[q]);
        }
        __syncthreads();  // before the next channel's patch
    }
}
