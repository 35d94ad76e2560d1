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
