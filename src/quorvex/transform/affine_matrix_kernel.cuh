extern "C" __global__ void __launch_bounds__(256, 4) affine_matrix_kernel$S(const $T* __restrict__ input,
                                               $T* __restrict__ output,
                                               const float* __restrict__ single,
                                               const double* __restrict__ wide, int is_wide,
                                               int input_height, int input_width,
                                               int output_height, int output_width,
                                               int channels) {
    __shared__ float m[8];
    if (threadIdx.x == 0 && threadIdx.y == 0) {
        double d[6];
        for (int k = 0; k < 6; ++k) d[k] = is_wide ? wide[k] : (double)single[k];
        warp_row_of(d, m);
    }
    __syncthreads();
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= output_width || y >= output_height) return;
    warp_pixel(input, output + ((long long)y * output_width + x) * channels, m, x, y, input_height, input_width,
               channels);
}
