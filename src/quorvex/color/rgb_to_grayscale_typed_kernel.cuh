extern "C" __global__ void __launch_bounds__(256) rgb_to_grayscale_typed_kernel$S(const $T* __restrict__ rgb,
                                                                               float* __restrict__ gray, int pixels,
                                                                               int wide) {
    grayscale_of<0, 2>(rgb, gray, pixels, wide);
}
