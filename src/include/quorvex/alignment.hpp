// Five-point face alignment on the host: the similarity fitted to the landmarks, shared by the
// single crop and the detector's batched crops so that both frame a face alike.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace quorvex {

using Matrix = std::array<double, 6>;

// The five-point face template of a 112-pixel crop: eyes, nose tip, mouth corners.
inline constexpr double kTemplate[5][2] = {
    {38.2946, 51.6963}, {73.5318, 51.5014}, {56.0252, 71.7366}, {41.5493, 92.3655}, {70.7299, 92.2041},
};

// The template of a size-pixel crop, scaled about pixel edges, not centres, so that every size
// frames the same face.
inline void template_of(int64_t size, double (*target)[2]) {
    for (size_t i = 0; i < 5; ++i)
        for (size_t k = 0; k < 2; ++k) target[i][k] = (kTemplate[i][k] + 0.5) * (double)size / 112.0 - 0.5;
}

// Least-squares similarity (a -b tx / b a ty) taking points p onto q. Over the pairs (a, b),
// which are exactly the scaled rotations, the problem is linear, so the centred closed form
// is its optimum and never reflects. False when the points are all one point.
inline bool fit_similarity(const double (*p)[2], const double (*q)[2], size_t n, Matrix &m) {
    double pm[2] = {0, 0}, qm[2] = {0, 0};
    for (size_t i = 0; i < n; ++i)
        for (int k = 0; k < 2; ++k) pm[k] += p[i][k] / n, qm[k] += q[i][k] / n;
    double spread = 0, dot = 0, cross = 0;
    for (size_t i = 0; i < n; ++i) {
        double px = p[i][0] - pm[0], py = p[i][1] - pm[1];
        double qx = q[i][0] - qm[0], qy = q[i][1] - qm[1];
        spread += px * px + py * py;
        dot += px * qx + py * qy;
        cross += px * qy - py * qx;
    }
    if (!(spread > 0)) return false;
    double sa = dot / spread, sb = cross / spread;
    m = {sa, -sb, qm[0] - (sa * pm[0] - sb * pm[1]), sb, sa, qm[1] - (sb * pm[0] + sa * pm[1])};
    return true;
}

// The inverse of an affine matrix; false when it is singular or not finite.
inline bool invert_affine(const Matrix &m, Matrix &inv, double *determinant = nullptr) {
    double det = m[0] * m[4] - m[1] * m[3];
    if (determinant) *determinant = det;
    double r = 1.0 / det;
    inv = {m[4] * r, -m[1] * r, 0.0, -m[3] * r, m[0] * r, 0.0};
    inv[2] = -inv[0] * m[2] - inv[1] * m[5];
    inv[5] = -inv[3] * m[2] - inv[4] * m[5];
    bool finite = det != 0.0;
    for (double v : inv) finite = finite && std::isfinite(v);
    return finite;
}

}  // namespace quorvex
