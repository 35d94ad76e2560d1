    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    Packed422 f = {frame, 2 * width, luma_at, cb_at, cr_at};
    decode_pixel(f, d, out, x, y, width, width / 2, height, 1, 0, nearest);
