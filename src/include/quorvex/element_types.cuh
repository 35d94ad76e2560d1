#ifndef QUORVEX_ELEMENT_TYPES
#define QUORVEX_ELEMENT_TYPES
struct qv_half { unsigned short bits; };

__device__ __forceinline__ float qv_half_to_float(unsigned int h) {
    unsigned int sign = (h & 0x8000u) << 16, e = (h >> 10) & 0x1fu, m = h & 0x3ffu;
    if (e == 0) return __uint_as_float(sign | __float_as_uint((float)m * 5.9604644775390625e-8f));  // m * 2^-24
    if (e == 31) return __uint_as_float(sign | 0x7f800000u | (m << 13));
    return __uint_as_float(sign | ((e + 112u) << 23) | (m << 13));
}

__device__ __forceinline__ unsigned short qv_float_to_half(float v) {
    unsigned int x = __float_as_uint(v), sign = (x >> 16) & 0x8000u, a = x & 0x7fffffffu;
    if (a > 0x7f800000u) return (unsigned short)(sign | 0x7e00u);         // NaN
    if (a >= 0x477ff000u) return (unsigned short)(sign | 0x7c00u);        // rounds past 65504
    if (a >= 0x38800000u) {                                               // normal: rebias, round
        unsigned int r = a - 0x38000000u;
        return (unsigned short)(sign | ((r + 0xfffu + ((r >> 13) & 1u)) >> 13));
    }
    return (unsigned short)(sign | (unsigned int)rintf(__uint_as_float(a) * 16777216.0f));  // subnormal
}

__device__ __forceinline__ float qv_value(float v) { return v; }
__device__ __forceinline__ float qv_value(unsigned char v) { return (float)v; }
__device__ __forceinline__ float qv_value(unsigned short v) { return (float)v; }
__device__ __forceinline__ float qv_value(qv_half v) { return qv_half_to_float(v.bits); }

// a / b for a divisor with a correctly rounded reciprocal rb, rounded as the division is (the
// residual is exact, one correction step rounds right: Markstein), without the called slow path
// of IEEE division, whose register saves would put the kernel in local memory.
__device__ __forceinline__ float qv_divide_by(float a, float b, float rb) {
    float q = __fmul_rn(a, rb);
    return fmaf(fmaf(-q, b, a), rb, q);
}

// a / b for any normal b whose quotient is normal: the reciprocal refined by a Newton step, then
// the same correction.
__device__ __forceinline__ float qv_divide(float a, float b) {
    float y = __fdividef(1.0f, b);
    y = fmaf(fmaf(-b, y, 1.0f), y, y);
    return qv_divide_by(a, b, y);
}

__device__ __forceinline__ float qv_unit_value(float v) { return v; }
__device__ __forceinline__ float qv_unit_value(unsigned char v) { return qv_divide_by((float)v, 255.0f, 1.0f / 255.0f); }
__device__ __forceinline__ float qv_unit_value(unsigned short v) { return qv_divide_by((float)v, 65535.0f, 1.0f / 65535.0f); }
__device__ __forceinline__ float qv_unit_value(qv_half v) { return qv_half_to_float(v.bits); }

__device__ __forceinline__ double qv_saturate(double v, double top) { return v == v ? fmin(fmax(rint(v), 0.0), top) : 0.0; }
// Rounded half to even, saturated, NaN to 0: the float-to-unsigned conversion does all of it but
// the clamp to top, in one instruction and without FP64.
__device__ __forceinline__ unsigned int qv_saturate_to(float v, unsigned int top) { return min(__float2uint_rn(v), top); }

// v * top rounded half to even as the exact product (up to 40 bits) rounds, saturated, NaN to
// 0, without FP64. v is clamped to 0..1 first (the same result). The float product's nearest
// integer q is within one of the exact one; fmaf gives the exact product's distance to the
// midpoint on the product's side of q in one rounding, which keeps its sign (a tie, 0, falls
// only on v = 1/2, whose q is already even). Checked against the product in double for every
// float, with top 255 and 65535, whether or not p - q is contracted into an fma.
__device__ __forceinline__ float qv_unit_saturatef(float v, float top) {
    v = v > 0.0f ? fminf(v, 1.0f) : 0.0f;
    float p = v * top, q = rintf(p);
    float side = copysignf(1.0f, p - q);
    float beyond = fmaf(v, top, -fmaf(side, 0.5f, q));
    return beyond * side > 0.0f ? q + side : q;
}

__device__ __forceinline__ void qv_store(float* p, float v) { *p = v; }
__device__ __forceinline__ void qv_store(unsigned char* p, float v) { *p = (unsigned char)qv_saturate_to(v, 255u); }
__device__ __forceinline__ void qv_store(unsigned short* p, float v) { *p = (unsigned short)qv_saturate_to(v, 65535u); }
__device__ __forceinline__ void qv_store(qv_half* p, float v) { p->bits = qv_float_to_half(v); }

__device__ __forceinline__ void qv_unit_store(float* p, float v) { *p = v; }
__device__ __forceinline__ void qv_unit_store(unsigned char* p, float v) { *p = (unsigned char)qv_unit_saturatef(v, 255.0f); }
__device__ __forceinline__ void qv_unit_store(unsigned short* p, float v) { *p = (unsigned short)qv_unit_saturatef(v, 65535.0f); }
__device__ __forceinline__ void qv_unit_store(qv_half* p, float v) { p->bits = qv_float_to_half(v); }

// Four elements, moved as one access (16 bytes of float32, 8 of 16-bit, 4 of 8-bit).
template <typename T>
struct __align__(4 * sizeof(T)) Four {
    T v[4];
};

// Flat images of three-channel pixels go four pixels (a quad, 12 elements) a thread: in three
// accesses of Four where `wide` says the host found the array aligned for them and the quad is
// whole, element by element otherwise. count: the quad's elements within the image's.
__device__ __forceinline__ int qv_quad_count(int quad, int pixels) { return min(12, (pixels - quad * 4) * 3); }

// Values as qv_unit_value (Unit) or qv_value reads them.
template <bool Unit, typename T>
__device__ __forceinline__ void qv_load_quad(const T* __restrict__ image, int quad, int count, int wide, float (&v)[12]) {
    const T* p = image + quad * 12;
    if (wide && count == 12) {
        #pragma unroll
        for (int k = 0; k < 3; ++k) {
            Four<T> four = reinterpret_cast<const Four<T>*>(p)[k];
            #pragma unroll
            for (int j = 0; j < 4; ++j) v[4 * k + j] = Unit ? qv_unit_value(four.v[j]) : qv_value(four.v[j]);
        }
        return;
    }
    #pragma unroll
    for (int e = 0; e < 12; ++e) v[e] = e < count ? (Unit ? qv_unit_value(p[e]) : qv_value(p[e])) : 0.0f;
}

__device__ __forceinline__ void qv_store_quad(float* __restrict__ image, int quad, int count, int wide, const float (&v)[12]) {
    float* p = image + quad * 12;
    if (wide && count == 12) {
        #pragma unroll
        for (int k = 0; k < 3; ++k) {
            Four<float> four;
            #pragma unroll
            for (int j = 0; j < 4; ++j) four.v[j] = v[4 * k + j];
            reinterpret_cast<Four<float>*>(p)[k] = four;
        }
        return;
    }
    #pragma unroll
    for (int e = 0; e < 12; ++e)
        if (e < count) p[e] = v[e];
}

// A flat kernel's whole work: this thread's quad of a launch of one thread per four pixels, each
// pixel's three values (as Unit says to read them) mapped in place by pixel(a, b, c) and stored.
template <bool Unit, typename T, typename Pixel>
__device__ __forceinline__ void qv_map_quad(const T* __restrict__ input, float* __restrict__ output, int pixels, int wide,
                                            Pixel pixel) {
    int quad = blockIdx.x * blockDim.x + threadIdx.x;
    if (quad * 4 >= pixels) return;
    int count = qv_quad_count(quad, pixels);
    float v[12];
    qv_load_quad<Unit>(input, quad, count, wide, v);
    #pragma unroll
    for (int n = 0; n < 4; ++n) pixel(v[3 * n], v[3 * n + 1], v[3 * n + 2]);
    qv_store_quad(output, quad, count, wide, v);
}

// Four neighbouring pixels of image blockIdx.z's three planes, taken in reverse order (RGB planes
// give BGR pixels), into its flat interleaved form, each value through map(): one thread per four
// pixels, the planes read and the pixels written in 16-byte accesses where `wide` says the plane
// size and the arrays allow them, element by element otherwise.
template <typename Map>
__device__ __forceinline__ void qv_planes_to_quad(const float* __restrict__ planes, float* __restrict__ image, int plane,
                                                  int wide, Map map) {
    int quad = blockIdx.x * blockDim.x + threadIdx.x;
    if (quad * 4 >= plane) return;
    planes += (long long)blockIdx.z * 3 * plane;
    image += (long long)blockIdx.z * 3 * plane;
    int count = qv_quad_count(quad, plane);
    float v[12];
    if (wide && count == 12) {
        #pragma unroll
        for (int c = 0; c < 3; ++c) {
            Four<float> four = reinterpret_cast<const Four<float>*>(planes + (2 - c) * plane)[quad];
            #pragma unroll
            for (int n = 0; n < 4; ++n) v[3 * n + c] = map(four.v[n]);
        }
    } else {
        #pragma unroll
        for (int e = 0; e < 12; ++e) v[e] = e < count ? map(planes[(2 - e % 3) * plane + quad * 4 + e / 3]) : 0.0f;
    }
    qv_store_quad(image, quad, count, wide, v);
}
#endif
