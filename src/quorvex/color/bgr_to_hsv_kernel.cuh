extern "C" __global__ void __launch_bounds__(256) bgr_to_hsv_kernel$S(const $T* __restrict__ image, float* __restrict__ hsv,
                                             int pixels, int wide) {
    int quad = blockIdx.x * blockDim.x + threadIdx.x;
    if (quad * 4 >= pixels) return;
    int count = qv_quad_count(quad, pixels);
    float px[12];
    qv_load_quad<true>(image, quad, count, wide, px);
    #pragma unroll
    for (int n = 0; n < 4; ++n) {
        float b = px[3 * n], g = px[3 * n + 1], r = px[3 * n + 2];
        float v = fmaxf(fmaxf(r, g), b);
        float diff = v - fminf(fminf(r, g), b);
        // The epsilons keep grey (diff 0) and black (v 0) finite: H and S come out 0 there.
        float s = diff / (fabsf(v) + 1.1920929e-7f);
        float k = 60.0f / (diff + 1.1920929e-7f);
        float h;
        if (v == r) h = (g - b) * k;
        else if (v == g) h = (b - r) * k + 120.0f;
        else h = (r - g) * k + 240.0f;
        if (h < 0.0f) h += 360.0f;
        px[3 * n] = h, px[3 * n + 1] = s, px[3 * n + 2] = v;
    }
    qv_store_quad(hsv, quad, count, wide, px);
}
