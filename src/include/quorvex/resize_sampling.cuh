#ifndef QUORVEX_RESIZE_SAMPLING
#define QUORVEX_RESIZE_SAMPLING
// The resized image itself: interleaved rows of the input's element type.
template <typename T> struct ResizedImage {
    T* out;
    int width, channels;
    __device__ __forceinline__ void put(int x, int y, int c, float v) const { qv_store(out + (y * width + x) * channels + c, v); }
    __device__ __forceinline__ T* pixel(int x, int y) const { return out + ((long long)y * width + x) * channels; }
};

// Launched with 32 x 8 blocks, every thread reaching the barrier, for output pixel (x, y): the
// block's 32 columns and 8 rows pick their source pixels once, in double, into shared memory.
template <typename T, typename Out>
__device__ __forceinline__ void resize_nearest(const T* __restrict__ input, const Out& out, int x, int y,
                                               int input_width, int input_height, int new_width, int new_height,
                                               int channels, double scale_x, double scale_y) {
    __shared__ int columns[32], rows[8];
    if (threadIdx.y == 0) columns[threadIdx.x] = (int)fmin(floor(x * scale_x), (double)(input_width - 1));
    if (threadIdx.y == 1 && threadIdx.x < 8) {
        int row = blockIdx.y * 8 + threadIdx.x;
        rows[threadIdx.x] = (int)fmin(floor(row * scale_y), (double)(input_height - 1));
    }
    __syncthreads();
    if (x >= new_width || y >= new_height) return;
    const T* p = input + (rows[threadIdx.y] * input_width + columns[threadIdx.x]) * channels;
    for (int c = 0; c < channels; ++c) out.put(x, y, c, qv_value(p[c]));
}

// A linear sampling position along one axis: the first tap, the second tap's weight, and
// whether the position lies past the outer pixel centres (the edge pixel then alone). Rounded
// step by step in double, never fused, so that positions (and the taps they pick) are OpenCV's.
struct LinearAxis {
    int first;
    float fraction;
    bool edge;
};

__device__ __forceinline__ LinearAxis linear_axis(int i, double scale, int size) {
    double f = __dadd_rn(__dmul_rn(i + 0.5, scale), -0.5);
    int s = (int)floor(f);
    LinearAxis a;
    a.fraction = (float)(f - s);
    a.edge = s < 0 || s >= size - 1;
    a.first = a.edge ? (s < 0 ? 0 : size - 1) : s;
    return a;
}

// Horizontal pass per source row, then the rows blended, as OpenCV orders the sums. Positions
// outside the outer pixel centres take the outer pixel alone: as in OpenCV, its neighbour is not
// read at all there, so a NaN or infinity in it does not leak into the border through a weight
// of 0. (Inside, a position that falls exactly on a pixel still reads both taps, as OpenCV does.)
template <int C, typename T, typename Out>
__device__ __forceinline__ void linear_pixel(const T* __restrict__ input, const Out& out, int x, int y,
                                             const LinearAxis& ax, const LinearAxis& ay, int input_width,
                                             int input_height, int given_channels) {
    const int channels = C ? C : given_channels;
    int row = input_width * channels;
    const T* r0 = input + ay.first * row;
    const T* r1 = input + min(ay.first + 1, input_height - 1) * row;
    int c0 = ax.first * channels, c1 = min(ax.first + 1, input_width - 1) * channels;
    for (int c = 0; c < channels; ++c) {
        float a0 = qv_value(r0[c0 + c]);
        float h0 = ax.edge ? a0 : fmaf(qv_value(r0[c1 + c]), ax.fraction, a0 * (1.0f - ax.fraction));
        if (ay.edge) {
            out.put(x, y, c, h0);
            continue;
        }
        float b0 = qv_value(r1[c0 + c]);
        float h1 = ax.edge ? b0 : fmaf(qv_value(r1[c1 + c]), ax.fraction, b0 * (1.0f - ax.fraction));
        out.put(x, y, c, fmaf(h1, ay.fraction, h0 * (1.0f - ay.fraction)));
    }
}

// Launched with 32 x 8 blocks, every thread reaching the barrier, for output pixel (x, y): the
// block's 32 columns' and 8 rows' positions are formed once, in double, into shared memory, and
// each pixel then works in float alone. C channels known at compile time (0: `channels`).
template <int C, typename T, typename Out>
__device__ __forceinline__ void resize_linear(const T* __restrict__ input, const Out& out, int x, int y,
                                              int input_width, int input_height, int new_width, int new_height,
                                              int channels, double scale_x, double scale_y) {
    __shared__ LinearAxis columns[32], rows[8];
    if (threadIdx.y == 0) columns[threadIdx.x] = linear_axis(x, scale_x, input_width);
    if (threadIdx.y == 1 && threadIdx.x < 8) rows[threadIdx.x] = linear_axis(blockIdx.y * 8 + threadIdx.x, scale_y, input_height);
    __syncthreads();
    if (x >= new_width || y >= new_height) return;
    linear_pixel<C>(input, out, x, y, columns[threadIdx.x], rows[threadIdx.y], input_width, input_height, channels);
}

// Keys' cubic with a = -0.75 over 4 taps per axis; neighbours past the border repeat the edge.
__device__ __forceinline__ void cubic_weights(float t, float* w) {
    const float a = -0.75f;
    float u = t + 1.0f, v = 1.0f - t;
    w[0] = ((a * u - 5.0f * a) * u + 8.0f * a) * u - 4.0f * a;
    w[1] = ((a + 2.0f) * t - (a + 3.0f)) * t * t + 1.0f;
    w[2] = ((a + 2.0f) * v - (a + 3.0f)) * v * v + 1.0f;
    w[3] = 1.0f - w[0] - w[1] - w[2];
}

// A cubic sampling position along one axis: its 4 taps (clamped to the image) and their weights.
struct CubicAxis {
    int tap[4];
    float w[4];
};

__device__ __forceinline__ void cubic_axis(int i, double scale, int size, CubicAxis& a) {
    // Rounded step by step, never fused, so that positions (and the taps they pick) are OpenCV's.
    double f = __dadd_rn(__dmul_rn(i + 0.5, scale), -0.5);
    // Taps clamp in 64 bits: s + 2 may pass INT_MAX on the widest images.
    long long s = (long long)floor(f);
    cubic_weights((float)(f - s), a.w);
    #pragma unroll
    for (int k = 0; k < 4; ++k) a.tap[k] = (int)min(max(s - 1 + k, 0LL), (long long)size - 1);
}

// One output pixel from its columns' and rows' taps: C channels, known at compile time, at each
// tap's one address; else (C = 0) `channels`, a channel at a time. Each channel's sums in the
// same order either way.
template <int C, typename T, typename Out>
__device__ __forceinline__ void cubic_pixel(const T* __restrict__ input, const Out& out, int x, int y,
                                            const CubicAxis& ax, const CubicAxis& ay, int input_width,
                                            int given_channels) {
    const int channels = C ? C : given_channels;
    int ox[4], oy[4];
    #pragma unroll
    for (int k = 0; k < 4; ++k) {
        ox[k] = ax.tap[k] * channels;
        oy[k] = ay.tap[k] * input_width * channels;
    }
    if (C) {
        float sum[C ? C : 1] = {};
        #pragma unroll
        for (int j = 0; j < 4; ++j) {
            float h[C ? C : 1] = {};
            #pragma unroll
            for (int i = 0; i < 4; ++i) {
                const T* p = input + (oy[j] + ox[i]);
                #pragma unroll
                for (int c = 0; c < C; ++c) h[c] = fmaf(qv_value(p[c]), ax.w[i], h[c]);
            }
            #pragma unroll
            for (int c = 0; c < C; ++c) sum[c] = fmaf(h[c], ay.w[j], sum[c]);
        }
        #pragma unroll
        for (int c = 0; c < C; ++c) out.put(x, y, c, sum[c]);
    } else {
        for (int c = 0; c < channels; ++c) {
            float sum = 0.0f;
            #pragma unroll
            for (int j = 0; j < 4; ++j) {
                const T* r = input + oy[j] + c;
                float h = 0.0f;
                #pragma unroll
                for (int i = 0; i < 4; ++i) h = fmaf(qv_value(r[ox[i]]), ax.w[i], h);
                sum = fmaf(h, ay.w[j], sum);
            }
            out.put(x, y, c, sum);
        }
    }
}

// Launched with 32 x 8 blocks, every thread reaching the barrier, for output pixel (x, y): the
// block's 32 columns' and 8 rows' taps and weights are formed once into shared memory. C channels
// known at compile time (0: `channels`).
template <int C, typename T, typename Out>
__device__ __forceinline__ void resize_cubic(const T* __restrict__ input, const Out& out, int x, int y,
                                             int input_width, int input_height, int new_width, int new_height,
                                             int channels, double scale_x, double scale_y) {
    __shared__ CubicAxis columns[32], rows[8];
    if (threadIdx.y == 0) cubic_axis(x, scale_x, input_width, columns[threadIdx.x]);
    if (threadIdx.y == 1 && threadIdx.x < 8) cubic_axis(blockIdx.y * 8 + threadIdx.x, scale_y, input_height, rows[threadIdx.x]);
    __syncthreads();
    if (x >= new_width || y >= new_height) return;
    cubic_pixel<C>(input, out, x, y, columns[threadIdx.x], rows[threadIdx.y], input_width, channels);
}

// Lanczos window of 4 lobes over 8 taps, weights normalised to sum 1. Tap i sits
// d = t + 3 - i from the sample: sin(pi d) only alternates in sign from tap to tap and cancels
// in the normalisation, and sin(pi d / 4) for all taps follows from one sinpi/cospi by angle
// sums. The weights depend only on the column (x) or the row (y), so a block computes them once
// per column and row it covers, in shared memory, instead of once per pixel. A column's or row's
// position is formed in double and rounded to float before it is split into tap and fraction,
// because OpenCV rounds this interpolation's positions (unlike the others') to float: on images
// thousands of pixels across the float's step moves the weights by ~1e-4, so a position kept in
// double would differ from OpenCV by that much.
struct __align__(16) Lanczos4Axis {  // aligned, so that the weights load in two accesses
    float w[8];
    int first;  // the first tap's index, unclamped
};

// Output column (or row) i's position in the input, formed in double, then rounded to float.
__device__ __forceinline__ float lanczos4_position(int i, double scale) {
    return __double2float_rn(__dadd_rn(__dmul_rn(i + 0.5, scale), -0.5));
}

// The first of the 8 taps at position f, clamped before the conversion: the taps only need to
// know they are past the edge.
__device__ __forceinline__ int lanczos4_first_tap(float f) { return (int)fmaxf(fminf(floorf(f), 1e9f), -1e9f) - 3; }

__device__ __forceinline__ void lanczos4_axis(int i, double scale, Lanczos4Axis& a) {
    const float quarter_pi = 0.785398163397448310f;
    const float r = 0.707106781186547524f;
    // (-1)^i sin(pi b + i pi / 4) = sinpi b * cs[i][0] + cospi b * cs[i][1]
    const float cs[8][2] = {{1.0f, 0.0f}, {-r, -r}, {0.0f, 1.0f}, {r, -r},
                            {-1.0f, 0.0f}, {r, r}, {0.0f, -1.0f}, {-r, r}};
    float f = lanczos4_position(i, scale);
    a.first = lanczos4_first_tap(f);
    float t = f - floorf(f);  // exact
    // sinpi/cospi need no range reduction through local memory, unlike sinf/cosf.
    float b = -(t + 3.0f) * 0.25f;
    float sb = sinpif(b), cb = cospif(b);
    float sum = 0.0f;
    #pragma unroll
    for (int k = 0; k < 8; ++k) {
        float d = t + 3.0f - k;
        if (fabsf(d) >= 1e-6f) {
            float angle = d * quarter_pi;
            a.w[k] = (cs[k][0] * sb + cs[k][1] * cb) / (angle * angle);
        } else {
            a.w[k] = 1e30f;  // the sample sits on this tap
        }
        sum += a.w[k];
    }
    float inv = 1.0f / sum;
    #pragma unroll
    for (int k = 0; k < 8; ++k) a.w[k] *= inv;
}

// One output pixel from the block's weights; C channels known at compile time (0: `channels`).
template <int C, typename T, typename Out>
__device__ __forceinline__ void lanczos4_pixel(const T* __restrict__ input, const Out& out, int x, int y,
                                               const Lanczos4Axis& ax, const Lanczos4Axis& ay,
                                               int input_width, int input_height, int channels) {
    const int n = C ? C : channels;
    int ox[8];
    #pragma unroll
    for (int k = 0; k < 8; ++k) ox[k] = min(max(ax.first + k, 0), input_width - 1) * n;
    for (int c = 0; c < n; ++c) {
        float sum = 0.0f;
        // Rows one at a time, each row's eight taps unrolled: at most 64 registers, no spills.
        #pragma unroll 1
        for (int j = 0; j < 8; ++j) {
            const T* r = input + min(max(ay.first + j, 0), input_height - 1) * input_width * n + c;
            float h = 0.0f;
            #pragma unroll
            for (int i = 0; i < 8; ++i) h = fmaf(qv_value(r[ox[i]]), ax.w[i], h);
            sum = fmaf(h, ay.w[j], sum);
        }
        out.put(x, y, c, sum);
    }
}

// A pixel's channels in one slot of shared memory, so that three move in one 16-byte access.
template <int C>
struct Lanczos4Slot {
    float v[C];
};
template <>
struct __align__(16) Lanczos4Slot<3> {
    float v[4];
};

// Per pixel: any channel count, any scale. Launched with 32 x 8 blocks: the first row of threads
// makes the block's 32 columns' weights, the first 8 threads of the second row its rows'.
template <typename T, typename Out>
__device__ __forceinline__ void resize_lanczos4(const T* __restrict__ input, const Out& out, int input_width,
                                                int input_height, int new_width, int new_height, int channels,
                                                double scale_x, double scale_y) {
    __shared__ Lanczos4Axis columns[32], rows[8];
    if (threadIdx.y == 0) lanczos4_axis(blockIdx.x * 32 + threadIdx.x, scale_x, columns[threadIdx.x]);
    if (threadIdx.y == 1 && threadIdx.x < 8) lanczos4_axis(blockIdx.y * 8 + threadIdx.x, scale_y, rows[threadIdx.x]);
    __syncthreads();
    int x = blockIdx.x * 32 + threadIdx.x, y = blockIdx.y * 8 + threadIdx.y;
    if (x >= new_width || y >= new_height) return;
    const Lanczos4Axis& ax = columns[threadIdx.x];
    const Lanczos4Axis& ay = rows[threadIdx.y];
    if (channels == 3) lanczos4_pixel<3>(input, out, x, y, ax, ay, input_width, input_height, 3);
    else if (channels == 1) lanczos4_pixel<1>(input, out, x, y, ax, ay, input_width, input_height, 1);
    else lanczos4_pixel<0>(input, out, x, y, ax, ay, input_width, input_height, channels);
}

// Separable, for C (1 or 3) channels where neither axis shrinks past 1/2: a block's 256 threads
// make 256 output columns, one each, of a strip of rows (the grid's rows split the image into
// strips of at most LANCZOS4_STRIP, as many as the host chose). The input rows the strip
// reaches stream through 4 at a time, staged (the columns' span, at most LANCZOS4_SLOTS) in
// shared memory as floats, each input pixel loaded and converted once; each thread filters each
// row across its column's taps and keeps the sums of the last 8 rows in registers (row i in slot
// i % 8, every index known at compile time), and an output row is made as soon as its last tap
// row is in. For a 2x upscale about 4.5 + 8 multiply-adds per channel and pixel instead of
// 64 + 8, and no shared loads but the taps and the rows' weights. The sums are lanczos4_pixel's
// operations in its order, so the results are the same to the bit. LANCZOS4_STRIP and
// LANCZOS4_SLOTS are the host's (kLanczos4Strip, kLanczos4Slots).

// Input rows first_row .. first_row + 3 (clamped, as lanczos4_pixel clamps its taps) into
// patch[0 .. 3]: the slots of the block's `width` columns from `left`, 256 apart a thread.
template <int C, typename T>
__device__ __forceinline__ void lanczos4_stage(const T* __restrict__ input, Lanczos4Slot<C> (*patch)[LANCZOS4_SLOTS],
                                               int first_row, int left, int width, int input_width,
                                               int input_height) {
    const int pitch = input_width * C;
    #pragma unroll 1
    for (int k = threadIdx.y * 32 + threadIdx.x; k < width; k += 256) {
        const T* column = input + min(max(left + k, 0), input_width - 1) * C;
        #pragma unroll
        for (int r = 0; r < 4; ++r) {
            const T* p = column + (long long)min(max(first_row + r, 0), input_height - 1) * pitch;
            Lanczos4Slot<C> s = {};  // the spare lane too, so that a slot is one store
            #pragma unroll
            for (int c = 0; c < C; ++c) s.v[c] = qv_value(p[c]);
            patch[r][k] = s;
        }
    }
}

template <int C, typename T, typename Out>
__device__ __forceinline__ void resize_lanczos4_rows(const T* __restrict__ input, const Out& out, int input_width,
                                                     int input_height, int new_width, int new_height, int channels,
                                                     double scale_x, double scale_y) {
    __shared__ Lanczos4Axis rows[LANCZOS4_STRIP + 1];
    __shared__ Lanczos4Slot<C> patch[4][LANCZOS4_SLOTS];
    __shared__ int span[2];  // the block's first tap and its width in slots
    const int strip = min((new_height + (int)gridDim.y - 1) / (int)gridDim.y, LANCZOS4_STRIP);
    const int t = threadIdx.y * 32 + threadIdx.x, x = blockIdx.x * 256 + t, top = blockIdx.y * strip;
    const int count = min(strip, new_height - top);  // the strip's output rows
    if (count <= 0) return;                           // the whole block: a strip past the image
    if (t == count) rows[t].first = 0x3fffffff;  // past the last row: no input row is its last tap
    if (t == 255) {  // as the block's first and last columns have them
        span[0] = lanczos4_first_tap(lanczos4_position(blockIdx.x * 256, scale_x));
        int last = lanczos4_first_tap(lanczos4_position(min(x, new_width - 1), scale_x));
        span[1] = min(last + 8 - span[0], LANCZOS4_SLOTS);
    }
    // This thread's column, then (for the first count threads) the strip's row t, in one copy of
    // the code.
    Lanczos4Axis ax;
    #pragma unroll 1
    for (int pass = 0; pass < 1 + (t < count); ++pass) {
        Lanczos4Axis a;
        lanczos4_axis(pass ? top + t : x, pass ? scale_y : scale_x, a);
        if (pass) {
            a.first += 7;  // a row's last tap: the input row after which it is due
            rows[t] = a;
        } else {
            ax = a;
        }
    }
    __syncthreads();
    const int left = span[0], width = span[1];
    // Columns past the image (or, were the host wrong, past the slots) read slot 0 and store nothing.
    const bool live = x < new_width && ax.first + 8 - left <= width;
    const Lanczos4Slot<C>* taps = &patch[0][live ? ax.first - left : 0];
    const int first_row = rows[0].first - 7, steps = (rows[count - 1].first + 8 - first_row) / 8;
    const long long pitch = (long long)new_width * C;
    auto* to = out.pixel(live ? x : 0, top);  // stepped a row at a time
    int y = 0, due = rows[0].first;            // the next output row, and its last tap row
    float window[8][C];
    #pragma unroll 1
    for (int r = first_row; r < first_row + 8 * steps; r += 8) {
        #pragma unroll
        for (int k = 0; k < 8; ++k) {
            if (k % 4 == 0) {
                __syncthreads();  // the staged rows are read before they are overwritten
                lanczos4_stage<C>(input, patch, r + k, left, width, input_width, input_height);
                __syncthreads();
            }
            #pragma unroll
            for (int c = 0; c < C; ++c) window[k][c] = 0.0f;
            #pragma unroll
            for (int i = 0; i < 8; ++i) {
                Lanczos4Slot<C> s = taps[k % 4 * LANCZOS4_SLOTS + i];
                #pragma unroll
                for (int c = 0; c < C; ++c) window[k][c] = fmaf(s.v[c], ax.w[i], window[k][c]);
            }
            // The output rows whose last tap is row r + k, from its 8 rows, oldest first.
            for (; due == r + k; ++y, due = rows[y].first, to += pitch) {
                const Lanczos4Axis& ay = rows[y];
                float sum[C];
                #pragma unroll
                for (int c = 0; c < C; ++c) sum[c] = 0.0f;
                #pragma unroll
                for (int j = 0; j < 8; ++j) {
                    #pragma unroll
                    for (int c = 0; c < C; ++c) sum[c] = fmaf(window[(k + 1 + j) % 8][c], ay.w[j], sum[c]);
                }
                #pragma unroll
                for (int c = 0; c < C; ++c)
                    if (live) qv_store(to + c, sum[c]);
            }
        }
    }
}

// Each output pixel averages the source pixels its footprint overlaps, weighted by the overlap
// (the area module's kernel, for any element type). The ratios are input / output size per axis,
// each one float division made once on the host (area_ratio), not per pixel.
template <typename T, typename Out>
__device__ __forceinline__ void resize_area(const T* __restrict__ input, const Out& out, int x, int y, int input_width,
                                            int input_height, float x_ratio, float y_ratio, int channels) {
    float x0 = x * x_ratio, x1 = (x + 1) * x_ratio;
    float y0 = y * y_ratio, y1 = (y + 1) * y_ratio;
    int x_start = max(0, (int)floorf(x0));
    int x_end = min(input_width, (int)ceilf(x1));
    int y_start = max(0, (int)floorf(y0));
    int y_end = min(input_height, (int)ceilf(y1));
    if (channels == 3) {
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, weight_sum = 0.0f;
        for (int sy = y_start; sy < y_end; ++sy) {
            float wy = fminf(y1, sy + 1.0f) - fmaxf(y0, (float)sy);
            for (int sx = x_start; sx < x_end; ++sx) {
                float w = (fminf(x1, sx + 1.0f) - fmaxf(x0, (float)sx)) * wy;
                const T* p = input + (sy * input_width + sx) * 3;
                s0 = fmaf(qv_value(p[0]), w, s0);
                s1 = fmaf(qv_value(p[1]), w, s1);
                s2 = fmaf(qv_value(p[2]), w, s2);
                weight_sum += w;
            }
        }
        bool any = weight_sum > 0.0f;
        out.put(x, y, 0, any ? qv_divide(s0, weight_sum) : 0.0f);
        out.put(x, y, 1, any ? qv_divide(s1, weight_sum) : 0.0f);
        out.put(x, y, 2, any ? qv_divide(s2, weight_sum) : 0.0f);
        return;
    }
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f, weight_sum = 0.0f;
        for (int sy = y_start; sy < y_end; ++sy) {
            float wy = fminf(y1, sy + 1.0f) - fmaxf(y0, (float)sy);
            for (int sx = x_start; sx < x_end; ++sx) {
                float w = (fminf(x1, sx + 1.0f) - fmaxf(x0, (float)sx)) * wy;
                sum = fmaf(qv_value(input[(sy * input_width + sx) * channels + c]), w, sum);
                weight_sum += w;
            }
        }
        out.put(x, y, c, weight_sum > 0.0f ? qv_divide(sum, weight_sum) : 0.0f);
    }
}
#endif
