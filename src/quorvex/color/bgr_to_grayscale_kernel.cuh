extern "C" __global__ void __launch_bounds__(256) bgr_to_grayscale_kernel(const float* __restrict__ bgr,
                                                                         float* __restrict__ gray, int pixels,
                                                                         int wide) {
    grayscale_of<2, 0>(bgr, gray, pixels, wide);
}
