// A mask's and a crop's area averages over a box, three channels each, in one pass over the box:
// each box pixel's weight formed once for all six, each sum in area_value's order (so the same
// to the bit).
__device__ __forceinline__ void area_pair(const float* __restrict__ mask, const float* __restrict__ crop,
                                          const AreaBox& b, int width, float (&w)[3], float (&v)[3]) {
    float mask_sum[3] = {}, crop_sum[3] = {};
    #pragma unroll 1
    for (int iy = b.y0; iy < b.y1; ++iy) {
        int row = iy * width * 3;
        float mask_row[3] = {}, crop_row[3] = {};
        #pragma unroll 1
        for (int ix = b.x0; ix < b.x1; ++ix) {
            float wx = fminf(b.right, ix + 1.0f) - fmaxf(b.left, (float)ix);
            #pragma unroll
            for (int c = 0; c < 3; ++c) {
                mask_row[c] = fmaf(wx, mask[row + ix * 3 + c], mask_row[c]);
                crop_row[c] = fmaf(wx, crop[row + ix * 3 + c], crop_row[c]);
            }
        }
        float wy = fminf(b.bottom, iy + 1.0f) - fmaxf(b.top, (float)iy);
        #pragma unroll
        for (int c = 0; c < 3; ++c) {
            mask_sum[c] = fmaf(wy, mask_row[c], mask_sum[c]);
            crop_sum[c] = fmaf(wy, crop_row[c], crop_sum[c]);
        }
    }
    #pragma unroll
    for (int c = 0; c < 3; ++c) w[c] = mask_sum[c] * b.inverse_area, v[c] = crop_sum[c] * b.inverse_area;
}

// Three-channel frames and crops (the host checks).
extern "C" __global__ void __launch_bounds__(256, 1) paste_kernel(const float* __restrict__ frame,
                                        float* __restrict__ merged,
                                        const float* __restrict__ crops,
                                        const float* __restrict__ mask,
                                        const float* __restrict__ table, int count,
                                        int frame_height, int frame_width,
                                        int crop_height, int crop_width) {
    __shared__ unsigned char reaches[256];
    __shared__ short listed[256];
    __shared__ int listed_count;
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    int thread = threadIdx.y * blockDim.x + threadIdx.x, threads = blockDim.x * blockDim.y;
    float left = blockIdx.x * blockDim.x, top = blockIdx.y * blockDim.y;
    float right = left + blockDim.x - 1, bottom = top + blockDim.y - 1;
    bool inside = x < frame_width && y < frame_height;
    long long at = ((long long)y * frame_width + x) * 3;
    // The pixel stays in registers while the crops blend over it, in order.
    float pixel[3] = {};
    if (inside)
        for (int c = 0; c < 3; ++c) pixel[c] = frame[at + c];
    long long crop_size = (long long)crop_height * crop_width * 3;
    for (int base = 0; base < count; base += threads) {
        int chunk = min(threads, count - base);
        if (thread < chunk) {
            const float* m = table + (base + thread) * 12;  // a row of NaN (no crop) meets nothing
            reaches[thread] = right >= m[8] && left <= m[10] && bottom >= m[9] && top <= m[11];
        }
        __syncthreads();
        if (thread == 0) {
            int n = 0;
            for (int k = 0; k < chunk; ++k)
                if (reaches[k]) listed[n++] = (short)k;
            listed_count = n;
        }
        __syncthreads();
        for (int k = 0; inside && k < listed_count; ++k) {
            int i = base + listed[k];
            const float* m = table + i * 12;
            if (!(x >= m[8] && x <= m[10] && y >= m[9] && y <= m[11])) continue;  // out of this pixel's reach
            const float* crop = crops + i * crop_size;
            float sx = affine_at(m[0], m[1], m[2], x, y), sy = affine_at(m[3], m[4], m[5], x, y);
            float w[3], v[3];
            if (m[6] > 0.0f) {
                AreaBox b;
                if (!area_box(sx, sy, m[6], m[7], crop_height, crop_width, b)) continue;
                area_pair(mask, crop, b, crop_width, w, v);
            } else {
                LinearTaps t;
                if (!linear_taps(sx, sy, crop_height, crop_width, 3, t)) continue;
                #pragma unroll
                for (int c = 0; c < 3; ++c) w[c] = linear_value(mask, t, c), v[c] = linear_value(crop, t, c);
            }
            #pragma unroll
            for (int c = 0; c < 3; ++c) pixel[c] = fmaf(w[c], v[c], (1.0f - w[c]) * pixel[c]);
        }
        __syncthreads();  // the lists are rewritten for the next crops
    }
    if (inside)
        for (int c = 0; c < 3; ++c) merged[at + c] = pixel[c];
}
