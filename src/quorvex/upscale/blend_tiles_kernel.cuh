// Weight of a tile along one axis at local position t (0 .. tile - 1) for a tile q of n: a ramp
// from 0 to 1 across [centre - feather / 2, centre + feather / 2] from each edge that has a
// neighbour. Neighbours' ramps meet with opposite arguments, so their weights add up to one.
// `inverse` is 1 / feather width, 0 for a hard cut (no feather).
__device__ __forceinline__ float ramp(float u, float inverse) {
    if (inverse <= 0.0f) return u > 0.0f ? 1.0f : (u < 0.0f ? 0.0f : 0.5f);
    float z = u * inverse;
    if (z <= -0.5f) return 0.0f;
    if (z >= 0.5f) return 1.0f;
    // The fast sine (no call, no stack), made odd by hand so that neighbours' weights still
    // add up to one; its error of about 1e-6 only bends the ramp.
    return 0.5f + 0.5f * copysignf(__sinf(3.14159265f * fabsf(z)), z);
}

__device__ __forceinline__ float axis_weight(int t, int q, int n, int tile, float centre, float inverse) {
    float w = q > 0 ? ramp((float)t + 0.5f - centre, inverse) : 1.0f;
    if (q < n - 1) w *= ramp((float)(tile - 1 - t) + 0.5f - centre, inverse);
    return w;
}

// One thread per canvas pixel of the box that tiles column_first .. column_last of grid row
// `row` cover (the part of one batch in that row). The batch is (N, C, tile, tile) float32 at any
// byte strides, its first tile being grid tile `first`; rgb reverses the first three channels
// into the BGR canvas. A pixel is written by the first tile with weight on it and added to by
// the others, all of a launch's tiles at once, so no two threads touch one pixel.
extern "C" __global__ void __launch_bounds__(256) blend_tiles_kernel(
        long long batch_address, long long stride_n, long long stride_c, long long stride_y,
        long long stride_x, float* __restrict__ canvas, int width, int channels, int tile, int step,
        int columns, int rows, int row, int column_first, int column_last, int first, int x0, int y0,
        int box_width, int box_height, float centre, float inverse, int rgb, int pull_x, int pull_y) {
    int bx = blockIdx.x * blockDim.x + threadIdx.x;
    int by = blockIdx.y * blockDim.y + threadIdx.y;
    if (bx >= box_width || by >= box_height) return;
    int x = x0 + bx, y = y0 + by;
    int ty = y - row * step;
    float wy = axis_weight(ty, row, rows, tile, centre, inverse);
    if (wy == 0.0f) return;
    // An earlier row with weight here has written the pixel already.
    bool first_row = !(row > 0 && ty + step < tile &&
                       axis_weight(ty + step, row - 1, rows, tile, centre, inverse) > 0.0f);

    // At most two columns weigh on a pixel (the ramps are no wider than the step); scalars keep
    // them in registers.
    int q_last = min(columns - 1, x / step);
    int q_min = q_last + 1, used = 0, q0 = 0, q1 = 0;
    float w0 = 0.0f, w1 = 0.0f;
    for (int q = q_last; q >= 0 && x - q * step < tile; --q) {
        float wx = axis_weight(x - q * step, q, columns, tile, centre, inverse);
        if (wx == 0.0f) continue;
        q_min = q;
        if (q >= column_first && q <= column_last) {
            if (used == 0) { q0 = q; w0 = wx * wy; }
            else { q1 = q; w1 = wx * wy; }
            ++used;
        }
    }
    bool fresh = first_row && q_min >= column_first && q_min <= column_last;
    if (!used) return;

    // Read where the tile really lies: the last row and column sit pulled back.
    const unsigned char* batch = reinterpret_cast<const unsigned char*>(batch_address);
    long long pixel = ((long long)y * width + x) * channels;
    long long ry = ty + (row == rows - 1 ? pull_y : 0);
    int rx0 = x - q0 * step + (q0 == columns - 1 ? pull_x : 0), rx1 = x - q1 * step + (q1 == columns - 1 ? pull_x : 0);
    const unsigned char* p0 = batch + (long long)(row * columns + q0 - first) * stride_n + ry * stride_y +
                              (long long)rx0 * stride_x;
    const unsigned char* p1 = batch + (long long)(row * columns + q1 - first) * stride_n + ry * stride_y +
                              (long long)rx1 * stride_x;
    for (int c = 0; c < channels; ++c) {
        long long source = ((rgb && c < 3 && channels >= 3) ? 2 - c : c) * stride_c;
        float acc = fresh ? 0.0f : canvas[pixel + c];
        acc = fmaf(w0, *reinterpret_cast<const float*>(p0 + source), acc);
        if (used > 1) acc = fmaf(w1, *reinterpret_cast<const float*>(p1 + source), acc);
        canvas[pixel + c] = acc;
    }
}
