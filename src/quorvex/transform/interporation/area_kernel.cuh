extern "C" __global__ void __launch_bounds__(256) area_kernel(const float* __restrict__ input,
                                       float* __restrict__ output,
                                       int input_width, int input_height,
                                       int new_width, int new_height, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= new_width || y >= new_height) return;
    ResizedImage<float> out{output, new_width, channels};
    resize_area(input, out, x, y, input_width, input_height, (float)input_width / new_width,
                (float)input_height / new_height, channels);
}
