extern "C" __global__ void __launch_bounds__(1024) bgr_to_grayscale_kernel(const float* __restrict__ bgr,
                                                    float* __restrict__ gray, int width, int height) {
    grayscale<2, 0>(bgr, gray, width, height);
}
