extern "C" __global__ void __launch_bounds__(1024) bgr_to_grayscale_typed_kernel$S(const $T* __restrict__ bgr,
                                                    float* __restrict__ gray, int width, int height) {
    grayscale_of<2, 0>(bgr, gray, width, height);
}
