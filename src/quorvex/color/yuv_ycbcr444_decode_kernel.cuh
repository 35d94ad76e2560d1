    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int at = 3 * (y * width + x);
    d.store(out + at, ycbcr[at], ycbcr[at + 1], ycbcr[at + 2]);
