    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    PlanesSink<T> s = {y, cb, cr, width, width, 1, 0, 0};
    encode_pixel(s, e, bgr, x, row, width);
