template <int R, int B>
__device__ void grayscale(const float* __restrict__ input, float* __restrict__ gray, int width, int height) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int idx = (y * width + x) * 3;
    float r = input[idx + R];
    float g = input[idx + 1];
    float b = input[idx + B];
    float gray_val = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    gray[idx] = gray_val;
    gray[idx + 1] = gray_val;
    gray[idx + 2] = gray_val;
}
