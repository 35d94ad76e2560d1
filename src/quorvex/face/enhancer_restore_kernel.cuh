extern "C" __global__ void __launch_bounds__(256) restore_kernel(const float* __restrict__ chw, float* __restrict__ hwc,
                                          int plane, int wide) {
    qv_planes_to_quad(chw, hwc, plane, wide, [](float v) { return fminf(fmaxf(v, -1.0f), 1.0f) / 2.0f + 0.5f; });
}
