// Mirror index past the end without repeating the edge; periodic for pads longer than the axis.
__device__ int reflect_index(int i, int n) {
    if (i < n) return i;
    if (n == 1) return 0;
    int period = 2 * (n - 1);
    i %= period;
    return i < n ? i : period - i;
}

// One thread per unit (a 4-byte word when pixels are whole words, else a byte) of the padded
// image; rows and columns are added at the bottom and the right only.
extern "C" __global__ void __launch_bounds__(256) pad_reflect_kernel(const unsigned char* __restrict__ src,
                                              unsigned char* __restrict__ dst,
                                              int width, int height, int padded_width,
                                              int padded_height, int pixel_units, int unit_bytes) {
    int u = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (u >= padded_width * pixel_units || y >= padded_height) return;
    int x = u / pixel_units;
    int k = u - x * pixel_units;
    long long source = (long long)reflect_index(y, height) * width + reflect_index(x, width);
    long long from = source * pixel_units + k;
    long long to = (long long)y * padded_width * pixel_units + u;
    if (unit_bytes == 4) {
        reinterpret_cast<unsigned int*>(dst)[to] = reinterpret_cast<const unsigned int*>(src)[from];
    } else {
        dst[to] = src[from];
    }
}
