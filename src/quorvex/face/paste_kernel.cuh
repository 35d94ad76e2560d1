extern "C" __global__ void __launch_bounds__(256, 1) paste_kernel(const float* __restrict__ frame,
                                        float* __restrict__ merged,
                                        const float* __restrict__ crops,
                                        const float* __restrict__ mask,
                                        const float* __restrict__ table, int count,
                                        int frame_height, int frame_width,
                                        int crop_height, int crop_width, int channels) {
    __shared__ unsigned char reaches[256];
    __shared__ short listed[256];
    __shared__ int listed_count;
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    int thread = threadIdx.y * blockDim.x + threadIdx.x, threads = blockDim.x * blockDim.y;
    float left = blockIdx.x * blockDim.x, top = blockIdx.y * blockDim.y;
    float right = left + blockDim.x - 1, bottom = top + blockDim.y - 1;
    bool inside = x < frame_width && y < frame_height;
    long long at = ((long long)y * frame_width + x) * channels;
    if (inside)
        for (int c = 0; c < channels; ++c) merged[at + c] = frame[at + c];
    long long crop_size = (long long)crop_height * crop_width * channels;
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
            if (m[6] > 0.0f) {
                AreaBox b;
                if (!area_box(sx, sy, m[6], m[7], crop_height, crop_width, b)) continue;
                for (int c = 0; c < channels; ++c) {
                    float w = area_value(mask, b, crop_width, channels, c);
                    merged[at + c] = fmaf(w, area_value(crop, b, crop_width, channels, c), (1.0f - w) * merged[at + c]);
                }
            } else {
                LinearTaps t;
                if (!linear_taps(sx, sy, crop_height, crop_width, channels, t)) continue;
                for (int c = 0; c < channels; ++c) {
                    float w = linear_value(mask, t, c);
                    merged[at + c] = fmaf(w, linear_value(crop, t, c), (1.0f - w) * merged[at + c]);
                }
            }
        }
        __syncthreads();  // the lists are rewritten for the next crops
    }
}
