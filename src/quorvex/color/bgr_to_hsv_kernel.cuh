extern "C" __global__ void __launch_bounds__(256) bgr_to_hsv_kernel$S(const $T* __restrict__ image, float* __restrict__ hsv,
                                             int pixels, int wide) {
    qv_map_quad<true>(image, hsv, pixels, wide, [](float& b_h, float& g_s, float& r_v) {
        float b = b_h, g = g_s, r = r_v;
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
        b_h = h, g_s = s, r_v = v;
    });
}
