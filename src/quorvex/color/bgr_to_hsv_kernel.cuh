extern "C" __global__ void __launch_bounds__(256) bgr_to_hsv_kernel$S(const $T* __restrict__ image, float* __restrict__ hsv,
                                             int width, int height) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int idx = (y * width + x) * 3;
    float b = qv_unit_value(image[idx]), g = qv_unit_value(image[idx + 1]), r = qv_unit_value(image[idx + 2]);
    float v = fmaxf(fmaxf(r, g), b);
    float diff = v - fminf(fminf(r, g), b);
    // The epsilons keep grey (diff 0) and black (v 0) finite: H and S come out 0 there.
    float s = diff / (fabsf(v) + 1.1920929e-7f);
    float k = 60.0f / (diff + 1.1920929e-7f);
    float h;
    if (v == r) h = (g - b) * k;
    else if (v == g) h = (b - r) * k + 120.0f;
    else h = (r - g) * k + 240.0f;
    if (h < 0.0f) h += 360.0f;
    hsv[idx] = h;
    hsv[idx + 1] = s;
    hsv[idx + 2] = v;
}
