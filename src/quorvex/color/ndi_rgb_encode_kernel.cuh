    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int row = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || row >= height) return;
    const float* p = image + channels * (row * width + x);
    unsigned int v[4];
    for (int c = 0; c < 3; ++c) v[c] = (unsigned int)__float2int_rn(fminf(fmaxf(p[c] * 255.0f, 0.0f), 255.0f));
    v[3] = keep_alpha && channels == 4 ? (unsigned int)__float2int_rn(fminf(fmaxf(p[3] * 255.0f, 0.0f), 255.0f)) : 255u;
    unsigned int word = v[2 - red_at] | (v[1] << 8) | (v[red_at] << 16) | (v[3] << 24);
    reinterpret_cast<unsigned int*>(frame)[row * width + x] = word;
