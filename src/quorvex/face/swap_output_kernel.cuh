extern "C" __global__ void __launch_bounds__(256) swap_output_kernel(const float* __restrict__ planes,
                                                                     float* __restrict__ image, int plane, int wide) {
    qv_planes_to_quad(planes, image, plane, wide, [](float v) { return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v; });
}
