    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    V210 f = {reinterpret_cast<const unsigned int*>(frame), pitch / 4};
    decode_pixel(f, d, out, x, y, width, (width + 1) / 2, height, 1, 0, nearest);
