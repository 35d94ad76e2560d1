// The NDI frame kernels, all in one text with the device code (ndi_device.cuh) before them.

// Where a Y'CbCr layout keeps its planes (in bytes), and the colour transform.
#define QV_NDI_YUV_PARAMS                                                                                  \
    int width, int height, int channels, int vertical, int wide, int y_at, int y_pitch, int y_step, int cb_at, \
        int cr_at, int c_pitch, int c_step, int a_at, int a_pitch, int a_step, float a_top, float m0, float m1, \
        float m2, float m3, float m4, float m5, float m6, float m7, float m8, float o0, float o1, float o2

// One thread per pixel pair, the two pixels of a chroma site, which share its loads. Chroma is
// interpolated linearly between the samples co-sited with the even columns (4:2:0 rows midway
// between luma row pairs: weights 3/4 and 1/4), the last sample repeated at the edges, as
// quorvex.color.yuv does: there, where a neighbour is the sample itself, the step is skipped;
// here it adds 0, the same bits.
extern "C" __global__ void __launch_bounds__(256)
yuv_decode_kernel(const unsigned char* __restrict__ frame, float* __restrict__ out, QV_NDI_YUV_PARAMS) {
    const Plane luma = {y_at, y_pitch, y_step}, cb_plane = {cb_at, c_pitch, c_step};
    const Plane cr_plane = {cr_at, c_pitch, c_step}, alpha = {a_at, a_pitch, a_step};
    const float m[9] = {m0, m1, m2, m3, m4, m5, m6, m7, m8}, o[3] = {o0, o1, o2};
    int j = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (2 * j >= width || row >= height) return;
    int j1 = min(j + 1, width / 2 - 1), i0 = vertical ? row >> 1 : row;
    // the even pixel's chroma (the site's own), the odd one's (halfway to the next site)
    float cb = (float)load(frame, cb_plane(j, i0), wide), cr = (float)load(frame, cr_plane(j, i0), wide);
    float cb_odd = cb + 0.5f * ((float)load(frame, cb_plane(j1, i0), wide) - cb);
    float cr_odd = cr + 0.5f * ((float)load(frame, cr_plane(j1, i0), wide) - cr);
    if (vertical) {
        int i1 = (row & 1) ? min(i0 + 1, height / 2 - 1) : max(i0 - 1, 0);
        float cb1 = (float)load(frame, cb_plane(j, i1), wide), cr1 = (float)load(frame, cr_plane(j, i1), wide);
        float cb1_odd = cb1 + 0.5f * ((float)load(frame, cb_plane(j1, i1), wide) - cb1);
        float cr1_odd = cr1 + 0.5f * ((float)load(frame, cr_plane(j1, i1), wide) - cr1);
        cb += 0.25f * (cb1 - cb), cr += 0.25f * (cr1 - cr);
        cb_odd += 0.25f * (cb1_odd - cb_odd), cr_odd += 0.25f * (cr1_odd - cr_odd);
    }
    float* p = out + channels * (row * width + 2 * j);
    #pragma unroll
    for (int k = 0; k < 2; ++k, p += channels) {
        float y = (float)load(frame, luma(2 * j + k, row), wide) - o[0];
        float b = (k ? cb_odd : cb) - o[1], r = (k ? cr_odd : cr) - o[2];
        for (int c = 0; c < 3; ++c) p[c] = fminf(fmaxf(m[3 * c] * y + m[3 * c + 1] * b + m[3 * c + 2] * r, 0.0f), 1.0f);
        if (channels == 4) p[3] = (float)load(frame, alpha(2 * j + k, row), wide) / a_top;
    }
}

// One thread per chroma site: the luma (and alpha) of the two or four pixels it covers, and its
// chroma filtered [1, 2, 1] / 4 around the co-sited column (4:2:0 averages the row pair). Every
// byte of the default-stride buffer is written. Codes are rounded and clamped to lo..top.
extern "C" __global__ void __launch_bounds__(256)
yuv_encode_kernel(const float* __restrict__ image, unsigned char* __restrict__ frame, float lo, float top,
                  QV_NDI_YUV_PARAMS) {
    const Plane luma = {y_at, y_pitch, y_step}, cb_plane = {cb_at, c_pitch, c_step};
    const Plane cr_plane = {cr_at, c_pitch, c_step}, alpha = {a_at, a_pitch, a_step};
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
}

// 8-bit RGB with a fourth byte: red at byte 2 (BGRA/BGRX) or 0 (RGBA/RGBX).
extern "C" __global__ void __launch_bounds__(256)
rgb_decode_kernel(const unsigned char* __restrict__ frame, float* __restrict__ out, int width, int height, int pitch,
                  int red_at, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    const unsigned char* q = frame + row * pitch + 4 * x;
    float* p = out + channels * (row * width + x);
    p[0] = (float)q[2 - red_at] / 255.0f;
    p[1] = (float)q[1] / 255.0f;
    p[2] = (float)q[red_at] / 255.0f;
    if (channels == 4) p[3] = (float)q[3] / 255.0f;
}

// The fourth byte is the image's alpha where the layout carries one and the image has it, else
// 255 (opaque; NDI ignores X).
extern "C" __global__ void __launch_bounds__(256)
rgb_encode_kernel(const float* __restrict__ image, unsigned char* __restrict__ frame, int width, int height,
                  int channels, int red_at, int keep_alpha) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    const float* p = image + channels * (row * width + x);
    unsigned int v[4];
    for (int c = 0; c < 3; ++c) v[c] = (unsigned int)__float2int_rn(fminf(fmaxf(p[c] * 255.0f, 0.0f), 255.0f));
    v[3] = keep_alpha && channels == 4 ? (unsigned int)__float2int_rn(fminf(fmaxf(p[3] * 255.0f, 0.0f), 255.0f)) : 255u;
    unsigned int word = v[2 - red_at] | (v[1] << 8) | (v[red_at] << 16) | (v[3] << 24);
    reinterpret_cast<unsigned int*>(frame)[row * width + x] = word;
}
