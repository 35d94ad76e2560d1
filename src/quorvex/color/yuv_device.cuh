// Code values in, floats out: out[c] = sum_k m[3c + k] (in[k] - o[k]), clamped to lo..hi
// (0..1, or the whole float range where codes beyond nominal range are kept).
struct Decode {
    float m[9], o[3], lo, hi;
    __device__ void store(float* out, float y, float cb, float cr) const {
        y -= o[0];
        cb -= o[1];
        cr -= o[2];
        for (int c = 0; c < 3; ++c)
            out[c] = fminf(fmaxf(m[3 * c] * y + m[3 * c + 1] * cb + m[3 * c + 2] * cr, lo), hi);
    }
};

// Floats in, code values out: code[k] = o[k] + sum_c m[3k + c] in[c], rounded, clamped to
// lo..top (NaN gives lo). In video range lo and top leave out the codes that SDI reserves for
// timing references (0 and 255 at 8 bits, 0..3 and 1020..1023 at 10), as FFmpeg's v210 encoder does.
struct Encode {
    float m[9], o[3], lo, top;
    __device__ float value(int k, const float* p) const {
        return o[k] + m[3 * k] * p[0] + m[3 * k + 1] * p[1] + m[3 * k + 2] * p[2];
    }
    __device__ unsigned int code(float v) const {
        return (unsigned int)__float2int_rn(fminf(fmaxf(v, lo), top));
    }
};

// Packed 8-bit 4:2:2: two pixels in four bytes, byte positions given per layout.
struct Packed422 {
    const unsigned char* p;
    int pitch, luma_at, cb_at, cr_at;
    __device__ float luma(int x, int y) const { return p[y * pitch + 2 * x + luma_at]; }
    __device__ void chroma(int j, int i, float& cb, float& cr) const {
        const unsigned char* q = p + i * pitch + 4 * j;
        cb = q[cb_at];
        cr = q[cr_at];
    }
};

// v210: per 6 pixels four little-endian words holding Cb0 Y0 Cr0 | Y1 Cb1 Y2 | Cr1 Y3 Cb2 |
// Y4 Cr2 Y5, three 10-bit samples per word from the low bits up.
struct V210 {
    const unsigned int* w;
    int pitch_words;
    __device__ float sample(int row, int s) const {
        return (float)((w[row * pitch_words + s / 3] >> (10 * (s % 3))) & 1023u);
    }
    __device__ float luma(int x, int y) const { return sample(y, x / 6 * 12 + 2 * (x % 6) + 1); }
    __device__ void chroma(int j, int i, float& cb, float& cr) const {
        int s = j / 3 * 12 + 4 * (j % 3);
        cb = sample(i, s);
        cr = sample(i, s + 2);
    }
};

// Planes of one element type; Cb and Cr may interleave in one plane (step 2, Cr one further).
template <typename T>
struct Planes {
    const T* y;
    const T* cb;
    const T* cr;
    int width, chroma_pitch, chroma_step, cr_at, shift;
    __device__ float luma(int x, int row) const { return (float)(y[row * width + x] >> shift); }
    __device__ void chroma(int j, int i, float& b, float& r) const {
        int at = i * chroma_pitch + j * chroma_step;
        b = (float)(cb[at] >> shift);
        r = (float)(cr[at + cr_at] >> shift);
    }
};

// horizontal, vertical: chroma halved across, down (4:2:2 halves across, 4:2:0 both, 4:4:4 neither).
template <typename Frame>
__device__ void decode_pixel(const Frame& f, const Decode& d, float* out, int x, int y, int width,
                             int chroma_width, int chroma_height, int horizontal, int vertical, int nearest) {
    int j0 = horizontal ? x >> 1 : x, j1 = j0;
    int i0 = vertical ? y >> 1 : y, i1 = i0;
    float ax = 0.0f, ay = 0.0f;
    if (!nearest) {
        if (horizontal && (x & 1)) {
            j1 = min(j0 + 1, chroma_width - 1);
            ax = 0.5f;
        }
        if (vertical) {
            i1 = (y & 1) ? min(i0 + 1, chroma_height - 1) : max(i0 - 1, 0);
            ay = 0.25f;
        }
    }
    float cb, cr, b, r;
    f.chroma(j0, i0, cb, cr);
    if (j1 != j0) {
        f.chroma(j1, i0, b, r);
        cb += ax * (b - cb);
        cr += ax * (r - cr);
    }
    if (i1 != i0) {
        float cb1, cr1;
        f.chroma(j0, i1, cb1, cr1);
        if (j1 != j0) {
            f.chroma(j1, i1, b, r);
            cb1 += ax * (b - cb1);
            cr1 += ax * (r - cr1);
        }
        cb += ay * (cb1 - cb);
        cr += ay * (cr1 - cr);
    }
    d.store(out + 3 * (y * width + x), f.luma(x, y), cb, cr);
}

// One chroma site (j, i) of 4:2:2 or 4:2:0: the luma of the pixels it covers and its filtered chroma.
// The image is read in its own element type, integers divided by their largest value as the
// package's to_float32 does, so integer and float16 frames take one launch. (No IEEE division:
// its called slow path put the float16 readers in local memory.)
template <typename Sink, typename In>
__device__ void encode_site(Sink& s, const Encode& e, const In* bgr, int j, int i, int width, int height,
                            int vertical) {
    int r0 = vertical ? 2 * i : i;
    int r1 = vertical ? min(2 * i + 1, height - 1) : r0;
    int x0 = 2 * j, xr = min(x0 + 1, width - 1);
    // The neighbours as offsets from the site's pixel, so that one address serves all three.
    const int left = x0 > 0 ? -3 : 0, right = xr > x0 ? 3 : 0;
    float sum[3] = {0.0f, 0.0f, 0.0f};
    #pragma unroll  // both rows' loads in flight together
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !vertical) break;
        int r = pass ? r1 : r0;
        const In* at = bgr + 3 * ((long long)r * width + x0);
        float pl[3], p0[3], pr[3];
        for (int c = 0; c < 3; ++c) {
            pl[c] = qv_unit_value(at[left + c]);
            p0[c] = qv_unit_value(at[c]);
            pr[c] = qv_unit_value(at[right + c]);
        }
        for (int c = 0; c < 3; ++c) sum[c] += pl[c] + 2.0f * p0[c] + pr[c];
        if (pass == 0 || r1 != r0) {
            s.luma(x0, r, e.code(e.value(0, p0)));
            // xr is x0 + 1 here; spelled so, the v210 group's sample index is a constant
            if (xr != x0) s.luma(x0 + 1, r, e.code(e.value(0, pr)));
        }
    }
    float scale = vertical ? 0.125f : 0.25f;
    for (int c = 0; c < 3; ++c) sum[c] *= scale;
    s.chroma(j, i, e.code(e.value(1, sum)), e.code(e.value(2, sum)));
}

// One pixel of 4:4:4: its codes, chroma its own.
template <typename Sink, typename In>
__device__ void encode_pixel(Sink& s, const Encode& e, const In* bgr, int x, int row, int width) {
    const In* p = bgr + 3 * ((long long)row * width + x);
    float q[3] = {qv_unit_value(p[0]), qv_unit_value(p[1]), qv_unit_value(p[2])};
    s.luma(x, row, e.code(e.value(0, q)));
    s.chroma(x, row, e.code(e.value(1, q)), e.code(e.value(2, q)));
}

// Writers of one chroma site's codes per layout.
struct Packed422Sink {
    unsigned int word;
    int luma_at, cb_at, cr_at;
    __device__ void put(int at, unsigned int v) { word |= v << (8 * at); }
    __device__ void luma(int x, int, unsigned int v) { put(luma_at + 2 * (x & 1), v); }
    __device__ void chroma(int, int, unsigned int cb, unsigned int cr) {
        put(cb_at, cb);
        put(cr_at, cr);
    }
};

struct V210Sink {
    unsigned int s[12];  // the group's samples in stream order
    int first, m;        // its first pixel, the chroma site being written
    __device__ void luma(int x, int, unsigned int v) { s[2 * (x - first) + 1] = v; }
    __device__ void chroma(int, int, unsigned int cb, unsigned int cr) {
        s[4 * m] = cb;
        s[4 * m + 2] = cr;
    }
};

template <typename T>
struct PlanesSink {
    T *y, *cb, *cr;
    int width, chroma_pitch, chroma_step, cr_at, shift;
    __device__ void luma(int x, int row, unsigned int v) { y[row * width + x] = (T)(v << shift); }
    __device__ void chroma(int j, int i, unsigned int b, unsigned int r) {
        int at = i * chroma_pitch + j * chroma_step;
        cb[at] = (T)(b << shift);
        cr[at + cr_at] = (T)(r << shift);
    }
};

// The colour transform as kernel parameters, in the order Decode and Encode hold them, and the
// value made of them inside the kernel.
#define QV_DECODE_PARAMS                                                                             \
    float m0, float m1, float m2, float m3, float m4, float m5, float m6, float m7, float m8, float o0, \
        float o1, float o2, float lo, float hi
#define QV_DECODE (Decode{{m0, m1, m2, m3, m4, m5, m6, m7, m8}, {o0, o1, o2}, lo, hi})
#define QV_ENCODE_PARAMS                                                                             \
    float m0, float m1, float m2, float m3, float m4, float m5, float m6, float m7, float m8, float o0, \
        float o1, float o2, float lo, float top
#define QV_ENCODE (Encode{{m0, m1, m2, m3, m4, m5, m6, m7, m8}, {o0, o1, o2}, lo, top})

// Planar and semi-planar frames of 8-bit (S unsigned char) or 16-bit samples, one thread per pixel.
template <typename S>
__device__ __forceinline__ void planar_decode(const S* __restrict__ y, const S* cb, const S* cr,
                                              float* __restrict__ out, int width, int height, int chroma_pitch,
                                              int chroma_step, int cr_at, int horizontal, int vertical,
                                              int nearest, int shift, const Decode& d) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    int chroma_width = horizontal ? (width + 1) / 2 : width, chroma_height = vertical ? (height + 1) / 2 : height;
    Planes<S> f = {y, cb, cr, width, chroma_pitch, chroma_step, cr_at, shift};
    decode_pixel(f, d, out, x, row, width, chroma_width, chroma_height, horizontal, vertical, nearest);
}

// The encoders, reading images of element type In. They run one thread per chroma site (two for
// the planar layouts, per 6-pixel group for v210) and write every byte of their output, padding
// included.
template <typename In>
__device__ __forceinline__ void packed422_encode(const In* __restrict__ bgr, unsigned char* __restrict__ frame,
                                                 int width, int height, int luma_at, int cb_at, int cr_at,
                                                 const Encode& e) {
    int j = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (2 * j >= width || y >= height) return;
    Packed422Sink s = {0u, luma_at, cb_at, cr_at};
    encode_site(s, e, bgr, j, y, width, height, 0);
    reinterpret_cast<unsigned int*>(frame)[y * (width / 2) + j] = s.word;
}

template <typename In>
__device__ __forceinline__ void v210_encode(const In* __restrict__ bgr, unsigned char* __restrict__ frame,
                                            int width, int height, int pitch, const Encode& e) {
    int g = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (g >= pitch / 16 || y >= height) return;
    V210Sink s;
    for (int k = 0; k < 12; ++k) s.s[k] = 0u;  // samples past the width stay 0, as FFmpeg writes them
    s.first = 6 * g;
    // Unrolled so that every sample index is a constant: the group stays in registers.
#pragma unroll
    for (int m = 0; m < 3; ++m) {
        s.m = m;
        if (2 * (3 * g + m) < width) encode_site(s, e, bgr, 3 * g + m, y, width, height, 0);
    }
    unsigned int* words = reinterpret_cast<unsigned int*>(frame + y * pitch) + 4 * g;
    for (int q = 0; q < 4; ++q) words[q] = s.s[3 * q] | (s.s[3 * q + 1] << 10) | (s.s[3 * q + 2] << 20);
}

// 4:2:2 and 4:2:0 planes of samples T (unsigned char, or unsigned short shifted up by shift).
template <typename In, typename T>
__device__ __forceinline__ void planar_encode(const In* __restrict__ bgr, T* __restrict__ y, T* cb, T* cr,
                                              int width, int height, int chroma_pitch, int chroma_step, int cr_at,
                                              int vertical, int shift, const Encode& e) {
    int j = 2 * (blockIdx.x * blockDim.x + threadIdx.x);  // two sites a thread, to share the set-up
    int i = blockIdx.y * blockDim.y + threadIdx.y;
    if (2 * j >= width || i >= (vertical ? (height + 1) / 2 : height)) return;
    PlanesSink<T> s = {y, cb, cr, width, chroma_pitch, chroma_step, cr_at, shift};
    encode_site(s, e, bgr, j, i, width, height, vertical);
    if (2 * j + 2 < width) encode_site(s, e, bgr, j + 1, i, width, height, vertical);
}

// 4:4:4 has kernels of its own, one thread per pixel: the subsampling encoders sit at their
// register budget on some GPUs, and a third layout there would spill.
template <typename In, typename T>
__device__ __forceinline__ void planar444_encode(const In* __restrict__ bgr, T* __restrict__ y,
                                                 T* __restrict__ cb, T* __restrict__ cr, int width, int height,
                                                 int shift, const Encode& e) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    PlanesSink<T> s = {y, cb, cr, width, width, 1, 0, shift};
    encode_pixel(s, e, bgr, x, row, width);
}
