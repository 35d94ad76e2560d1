extern "C" __global__ void __launch_bounds__(256) hsv_to_bgr_kernel$S(const $T* __restrict__ image, float* __restrict__ bgr,
                                             int pixels, int wide) {
    qv_map_quad<false>(image, bgr, pixels, wide, [](float& h_b, float& s_g, float& v_r) {
        float h = h_b, s = s_g, v = v_r;
        float b = v, g = v, r = v;
        if (s != 0.0f) {
            h *= 1.0f / 60.0f;
            h -= 6.0f * floorf(h * (1.0f / 6.0f));  // hues wrap around the circle
            int sector = (int)floorf(h);
            h -= (float)sector;
            if (!(sector >= 0 && sector < 6)) {  // NaN, or 6 from rounding just below 0
                sector = 0;
                h = 0.0f;
            }
            float p = v * (1.0f - s), q = v * (1.0f - s * h), t = v * (1.0f - s * (1.0f - h));
            // B, G and R in each 60-degree sector: rising (t), falling (q), top (v) or bottom (p).
            switch (sector) {
            case 0: b = p; g = t; r = v; break;
            case 1: b = p; g = v; r = q; break;
            case 2: b = t; g = v; r = p; break;
            case 3: b = v; g = q; r = p; break;
            case 4: b = v; g = p; r = t; break;
            default: b = q; g = p; r = v;
            }
        }
        h_b = b, s_g = g, v_r = r;
    });
}
