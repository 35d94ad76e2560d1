extern "C" __global__ void __launch_bounds__(256) paste_table_kernel(const float* __restrict__ matrices,
                                              float* __restrict__ table, int count, int crop_height,
                                              int crop_width) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) return;
    const float* m = matrices + i * 6;
    float* row = table + i * 12;
    double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5];
    double det = a * e - b * d;
    double r = det != 0.0 ? 1.0 / det : 0.0;
    double ia = e * r, ib = -b * r, id = -d * r, ie = a * r;
    float im[6] = {(float)ia, (float)ib, (float)(-ia * c - ib * f), (float)id, (float)ie, (float)(-id * c - ie * f)};
    double det2 = (double)im[0] * im[4] - (double)im[1] * im[3];
    double r2 = 1.0 / det2;
    double inv[6] = {im[4] * r2, -im[1] * r2, 0.0, -im[3] * r2, im[0] * r2, 0.0};
    inv[2] = -inv[0] * im[2] - inv[1] * im[5];
    inv[5] = -inv[3] * im[2] - inv[4] * im[5];
    bool ok = det != 0.0 && det2 != 0.0;
    for (int k = 0; k < 6; ++k) ok = ok && isfinite(inv[k]);
    if (!ok) {
        for (int k = 0; k < 12; ++k) row[k] = nanf("");
        return;
    }
    double scale_x = sqrt(inv[0] * inv[0] + inv[1] * inv[1]), scale_y = sqrt(inv[3] * inv[3] + inv[4] * inv[4]);
    bool area = fmax(scale_x, scale_y) > 1.0 + 1e-6;
    for (int k = 0; k < 6; ++k) row[k] = (float)(inv[k] + (area && k % 3 == 2 ? 0.5 : 0.0));
    row[6] = area ? (float)(0.5 * fmax(scale_x, 1.0)) : 0.0f;
    row[7] = area ? (float)(0.5 * fmax(scale_y, 1.0)) : 0.0f;
    // The crop positions a sampler takes (linear: -1 < s < size; area: the box overlaps the crop)
    // mapped back to the frame through im, the crop -> frame matrix.
    double low_u = area ? -row[6] - 0.5 : -1.0, high_u = area ? crop_width + row[6] - 0.5 : crop_width;
    double low_v = area ? -row[7] - 0.5 : -1.0, high_v = area ? crop_height + row[7] - 0.5 : crop_height;
    double left = 1e30, top = 1e30, right = -1e30, bottom = -1e30;
    for (int corner = 0; corner < 4; ++corner) {
        double u = corner & 1 ? high_u : low_u, v = corner & 2 ? high_v : low_v;
        double fx = im[0] * u + im[1] * v + im[2], fy = im[3] * u + im[4] * v + im[5];
        left = fmin(left, fx), right = fmax(right, fx), top = fmin(top, fy), bottom = fmax(bottom, fy);
    }
    row[8] = (float)floor(left - 1.0), row[9] = (float)floor(top - 1.0);
    row[10] = (float)ceil(right + 1.0), row[11] = (float)ceil(bottom + 1.0);
}
