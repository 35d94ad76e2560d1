extern "C" __global__ void __launch_bounds__(256, 4) affine_batch_kernel$S(const $T* __restrict__ input,
                                               $T* __restrict__ output,
                                               const float* __restrict__ table,
                                               int input_height, int input_width,
                                               int output_height, int output_width,
                                               int channels, long long input_plane) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= output_width || y >= output_height) return;
    $T* out = output + (((long long)blockIdx.z * output_height + y) * output_width + x) * channels;
    warp_pixel(input + blockIdx.z * input_plane, out, table + blockIdx.z * 8, x, y, input_height, input_width,
               channels);
}
