    int j = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (2 * j >= width || y >= height) return;
    Packed422Sink s = {0u, luma_at, cb_at, cr_at};
    encode_site(s, e, bgr, j, y, width, height, 0);
    reinterpret_cast<unsigned int*>(frame)[y * (width / 2) + j] = s.word;
