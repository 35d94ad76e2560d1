    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    const unsigned char* q = frame + row * pitch + 4 * x;
    float* p = out + channels * (row * width + x);
    p[0] = (float)q[2 - red_at] / 255.0f;
    p[1] = (float)q[1] / 255.0f;
    p[2] = (float)q[red_at] / 255.0f;
    if (channels == 4) p[3] = (float)q[3] / 255.0f;
