extern "C" __global__ void __launch_bounds__(1024) rgb_to_grayscale_kernel(const float* __restrict__ rgb,
                                                    float* __restrict__ gray, int width, int height) {
    grayscale<0, 2>(rgb, gray, width, height);
}
