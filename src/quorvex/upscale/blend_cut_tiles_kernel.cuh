// Index into an axis of n pixels after mirror padding at its end (the edge pixel not repeated,
// mirrored again past the mirror for pads longer than the axis).
__device__ __forceinline__ long long mirror(long long i, long long n) {
    if (i < n) return i;
    if (n == 1) return 0;
    long long period = 2 * (n - 1);
    i %= period;
    return i < n ? i : period - i;
}

// Tiles first .. first + count - 1 of the grid over the image padded by mirroring at the bottom
// and right, into a (count, C, tile, tile) float32 batch; one thread per batch pixel, all
// channels. The image is float32 (H, W, C) at any element strides, passed as an address so that
// any view is read in place; rgb reverses the first three channels (the models take RGB).
extern "C" __global__ void __launch_bounds__(256) cut_tiles_kernel(
        long long image_address, long long stride_y, long long stride_x, long long stride_c,
        int height, int width, int channels, float* __restrict__ out, int tile, int step,
        int columns, int rows, int first, int count, int rgb, int pull_x, int pull_y) {
    int tx = blockIdx.x * blockDim.x + threadIdx.x;
    int yy = blockIdx.y * blockDim.y + threadIdx.y;
    if (tx >= tile || yy >= count * tile) return;
    int n = yy / tile, ty = yy - n * tile;
    int index = first + n;
    int r = index / columns, q = index - r * columns;
    long long top = (long long)r * step - (r == rows - 1 ? pull_y : 0);
    long long left = (long long)q * step - (q == columns - 1 ? pull_x : 0);
    long long y = mirror(top + ty, height), x = mirror(left + tx, width);
    const float* p = reinterpret_cast<const float*>(image_address) + y * stride_y + x * stride_x;
    long long plane = (long long)tile * tile;
    float* o = out + (long long)n * channels * plane + (long long)ty * tile + tx;
    for (int c = 0; c < channels; ++c) {
        int source = (rgb && c < 3 && channels >= 3) ? 2 - c : c;
        o[c * plane] = p[source * stride_c];
    }
}
