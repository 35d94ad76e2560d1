extern "C" __global__ void __launch_bounds__(256) decode_kernel(const float* __restrict__ scores,
                                         const float* __restrict__ boxes,
                                         const float* __restrict__ kps, int has_kps,
                                         int count, int width, int anchors, int stride,
                                         float threshold, int first,
                                         float* __restrict__ rows, int capacity, int* __restrict__ found) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) return;
    float score = scores[i];
    if (!(score >= threshold)) return;
    int slot = atomicAdd(found, 1);
    if (slot >= capacity) return;
    int cell = i / anchors;
    float s = (float)stride;
    float cx = (float)((cell % width) * stride), cy = (float)((cell / width) * stride);
    float* row = rows + (long long)slot * QV_ROW;
    row[0] = score;
    row[1] = cx - __fmul_rn(boxes[i * 4 + 0], s);
    row[2] = cy - __fmul_rn(boxes[i * 4 + 1], s);
    row[3] = cx + __fmul_rn(boxes[i * 4 + 2], s);
    row[4] = cy + __fmul_rn(boxes[i * 4 + 3], s);
    for (int k = 0; k < 10; ++k)
        row[5 + k] = has_kps ? (k % 2 == 0 ? cx : cy) + __fmul_rn(kps[i * 10 + k], s) : 0.0f;
    row[15] = (float)(first + i);
}
