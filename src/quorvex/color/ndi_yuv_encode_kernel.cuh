    int j = blockIdx.x * blockDim.x + threadIdx.x;
    int i = blockIdx.y * blockDim.y + threadIdx.y;
    if (2 * j >= width || i >= (vertical ? height / 2 : height)) return;
    int r0 = vertical ? 2 * i : i, rows = vertical ? 2 : 1;
    int x0 = 2 * j, xl = max(x0 - 1, 0), xr = min(x0 + 1, width - 1);
    float sb = 0.0f, sg = 0.0f, sr = 0.0f;
    for (int pass = 0; pass < rows; ++pass) {
        int r = min(r0 + pass, height - 1);
        const float* line = image + channels * r * width;
        const float *pl = line + channels * xl, *p0 = line + channels * x0, *pr = line + channels * xr;
        sb += pl[0] + 2.0f * p0[0] + pr[0];
        sg += pl[1] + 2.0f * p0[1] + pr[1];
        sr += pl[2] + 2.0f * p0[2] + pr[2];
        store(frame, luma(x0, r), wide, code(o0 + m0 * p0[0] + m1 * p0[1] + m2 * p0[2], lo, top));
        store(frame, luma(xr, r), wide, code(o0 + m0 * pr[0] + m1 * pr[1] + m2 * pr[2], lo, top));
        if (a_at >= 0) {
            store(frame, alpha(x0, r), wide, channels == 4 ? code(p0[3] * a_top, 0.0f, a_top) : (unsigned int)a_top);
            store(frame, alpha(xr, r), wide, channels == 4 ? code(pr[3] * a_top, 0.0f, a_top) : (unsigned int)a_top);
        }
    }
    float scale = vertical ? 0.125f : 0.25f;
    sb *= scale, sg *= scale, sr *= scale;
    store(frame, cb_plane(j, i), wide, code(o1 + m3 * sb + m4 * sg + m5 * sr, lo, top));
    store(frame, cr_plane(j, i), wide, code(o2 + m6 * sb + m7 * sg + m8 * sr, lo, top));
