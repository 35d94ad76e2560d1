    int j = blockIdx.x * blockDim.x + threadIdx.x;
    int i = blockIdx.y * blockDim.y + threadIdx.y;
    if (2 * j >= width || i >= (vertical ? (height + 1) / 2 : height)) return;
    PlanesSink<T> s = {y, cb, cr, width, chroma_pitch, chroma_step, cr_at, shift};
    encode_site(s, e, bgr, j, i, width, height, vertical);
