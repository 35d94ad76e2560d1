// One sample: a byte, or two bytes little-endian. Byte access needs no alignment, so any stride
// NDI hands over is read as it is.
__device__ __forceinline__ unsigned int load(const unsigned char* p, int at, int wide) {
    return wide ? (unsigned int)p[at] | ((unsigned int)p[at + 1] << 8) : (unsigned int)p[at];
}
// A code: rounded to nearest, clamped to lo..top (NaN gives lo).
__device__ __forceinline__ unsigned int code(float v, float lo, float top) {
    return (unsigned int)__float2int_rn(fminf(fmaxf(v, lo), top));
}
__device__ __forceinline__ void store(unsigned char* p, int at, int wide, unsigned int v) {
    p[at] = (unsigned char)(v & 255u);
    if (wide) p[at + 1] = (unsigned char)(v >> 8);
}

// Sample (x, row) of a plane lies at at + row * pitch + x * step bytes.
struct Plane {
    int at, pitch, step;
    __device__ int operator()(int x, int row) const { return at + row * pitch + x * step; }
};
