extern "C" __global__ void __launch_bounds__(1024) rgb_to_grayscale_typed_kernel$S(const $T* __restrict__ rgb,
                                                    float* __restrict__ gray, int width, int height) {
    grayscale_of<0, 2>(rgb, gray, width, height);
}
