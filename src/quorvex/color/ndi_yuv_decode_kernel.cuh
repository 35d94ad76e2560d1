    const float m[9] = {m0, m1, m2, m3, m4, m5, m6, m7, m8}, o[3] = {o0, o1, o2};
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    int chroma_width = width / 2, chroma_height = vertical ? height / 2 : height;
    int j0 = x >> 1, j1 = (x & 1) ? min(j0 + 1, chroma_width - 1) : j0;
    int i0 = vertical ? row >> 1 : row, i1 = i0;
    if (vertical) i1 = (row & 1) ? min(i0 + 1, chroma_height - 1) : max(i0 - 1, 0);
    float cb = (float)load(frame, cb_plane(j0, i0), wide), cr = (float)load(frame, cr_plane(j0, i0), wide);
    if (j1 != j0) {
        cb += 0.5f * ((float)load(frame, cb_plane(j1, i0), wide) - cb);
        cr += 0.5f * ((float)load(frame, cr_plane(j1, i0), wide) - cr);
    }
    if (i1 != i0) {
        float cb1 = (float)load(frame, cb_plane(j0, i1), wide), cr1 = (float)load(frame, cr_plane(j0, i1), wide);
        if (j1 != j0) {
            cb1 += 0.5f * ((float)load(frame, cb_plane(j1, i1), wide) - cb1);
            cr1 += 0.5f * ((float)load(frame, cr_plane(j1, i1), wide) - cr1);
        }
        cb += 0.25f * (cb1 - cb);
        cr += 0.25f * (cr1 - cr);
    }
    float y = (float)load(frame, luma(x, row), wide) - o[0];
    cb -= o[1];
    cr -= o[2];
    float* p = out + channels * (row * width + x);
    for (int c = 0; c < 3; ++c) p[c] = fminf(fmaxf(m[3 * c] * y + m[3 * c + 1] * cb + m[3 * c + 2] * cr, 0.0f), 1.0f);
    if (channels == 4) p[3] = (float)load(frame, alpha(x, row), wide) / a_top;
