// One thread per pixel of one tile (blockIdx.z): all channels into the (N, C, H, W) batch.
extern "C" __global__ void __launch_bounds__(256) tiles_to_batch_kernel(const long long* __restrict__ table,
                                                 float* __restrict__ batch,
                                                 int width, int height, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int n = blockIdx.z;
    long long plane = (long long)width * height;
    float* out = batch + (long long)n * channels * plane + (long long)y * width + x;
    for (int c = 0; c < channels; ++c) out[c * plane] = tile_value(table + TILE_ENTRY * n, y, x, c);
}
