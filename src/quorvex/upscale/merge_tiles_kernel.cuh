// Compensated float32 addition: with large overlaps hundreds of tiles cover one pixel, and plain
// float32 sums would drift by a few parts in a million.
struct KahanSum {
    float sum, carry;
    __device__ KahanSum() : sum(0.0f), carry(0.0f) {}
    __device__ void add(float value) {
        float y = value - carry;
        float t = sum + y;
        carry = (t - sum) - y;
        sum = t;
    }
};

// The Gaussian weight of a tile's pixel (ty, tx) from its position, as create_gaussian_weights
// makes it (linspace(-1, 1, tile) on both axes) but not normalised: the merge divides by the sum
// of the same weights, so the factor cancels, and no weight array is made per call.
__device__ __forceinline__ float tile_weight(int ty, int tx, float spacing, float falloff) {
    float ax = fmaf((float)tx, spacing, -1.0f), ay = fmaf((float)ty, spacing, -1.0f);
    return expf(-fmaf(ax, ax, ay * ay) * falloff);
}

// One thread per output pixel gathers the tiles covering it in cutting order and divides the
// weighted sum by the sum of the same float32 weights, so that tiles agreeing on a value give
// that value back; pixels no tile covers are 0.
extern "C" __global__ void __launch_bounds__(256, 4) merge_tiles_kernel(const long long* __restrict__ table,
                                              float spacing, float falloff,
                                              float* __restrict__ merged,
                                              int tile, int step, int columns, int rows,
                                              int width, int height, int channels, int broadcast) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int row_first = y < tile ? 0 : (y - tile) / step + 1;
    int row_last = min(rows - 1, y / step);
    int column_first = x < tile ? 0 : (x - tile) / step + 1;
    int column_last = min(columns - 1, x / step);

    KahanSum weight_sum;
    for (int r = row_first; r <= row_last; ++r)
        for (int q = column_first; q <= column_last; ++q)
            weight_sum.add(tile_weight(y - r * step, x - q * step, spacing, falloff));
    float total = weight_sum.sum;

    float* out = merged + ((long long)y * width + x) * channels;
    for (int c = 0; c < channels; ++c) {
        KahanSum sum;
        for (int r = row_first; r <= row_last; ++r) {
            for (int q = column_first; q <= column_last; ++q) {
                int ty = y - r * step, tx = x - q * step;
                sum.add(tile_value(table + TILE_ENTRY * (r * columns + q), ty, tx, broadcast ? 0 : c) *
                        tile_weight(ty, tx, spacing, falloff));
            }
        }
        out[c] = total > 0.0f ? qv_divide(sum.sum, total) : 0.0f;
    }
}
