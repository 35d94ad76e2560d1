extern "C" __global__ void __launch_bounds__(256) invert_affine_kernel(const float* __restrict__ matrix,
                                                float* __restrict__ inverse) {
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    double a = matrix[0], b = matrix[1], c = matrix[2];
    double d = matrix[3], e = matrix[4], f = matrix[5];
    double det = a * e - b * d;
    double r = det != 0.0 ? 1.0 / det : 0.0;
    double ia = e * r, ib = -b * r, id = -d * r, ie = a * r;
    inverse[0] = (float)ia;
    inverse[1] = (float)ib;
    inverse[2] = (float)(-ia * c - ib * f);
    inverse[3] = (float)id;
    inverse[4] = (float)ie;
    inverse[5] = (float)(-id * c - ie * f);
}
