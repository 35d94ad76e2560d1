// The decoders: one thread per output pixel, BGR float32 out.
extern "C" __global__ void __launch_bounds__(256)
packed422_decode_kernel(const unsigned char* __restrict__ frame, float* __restrict__ out, int width, int height,
                        int luma_at, int cb_at, int cr_at, int nearest, QV_DECODE_PARAMS) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    Packed422 f = {frame, 2 * width, luma_at, cb_at, cr_at};
    decode_pixel(f, QV_DECODE, out, x, y, width, width / 2, height, 1, 0, nearest);
}

extern "C" __global__ void __launch_bounds__(256)
v210_decode_kernel(const unsigned char* __restrict__ frame, float* __restrict__ out, int width, int height,
                   int pitch, int nearest, QV_DECODE_PARAMS) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    V210 f = {reinterpret_cast<const unsigned int*>(frame), pitch / 4};
    decode_pixel(f, QV_DECODE, out, x, y, width, (width + 1) / 2, height, 1, 0, nearest);
}

extern "C" __global__ void __launch_bounds__(256)
planar8_decode_kernel(const unsigned char* __restrict__ y, const unsigned char* cb, const unsigned char* cr,
                      float* __restrict__ out, int width, int height, int chroma_pitch, int chroma_step, int cr_at,
                      int horizontal, int vertical, int nearest, QV_DECODE_PARAMS) {
    planar_decode(y, cb, cr, out, width, height, chroma_pitch, chroma_step, cr_at, horizontal, vertical, nearest, 0,
                  QV_DECODE);
}

extern "C" __global__ void __launch_bounds__(256)
planar16_decode_kernel(const unsigned short* __restrict__ y, const unsigned short* cb, const unsigned short* cr,
                       float* __restrict__ out, int width, int height, int chroma_pitch, int chroma_step, int cr_at,
                       int horizontal, int vertical, int nearest, int shift, QV_DECODE_PARAMS) {
    planar_decode(y, cb, cr, out, width, height, chroma_pitch, chroma_step, cr_at, horizontal, vertical, nearest,
                  shift, QV_DECODE);
}

// Y'CbCr 4:4:4 float32 without a matrix (the normalising transform only).
extern "C" __global__ void __launch_bounds__(256)
ycbcr444_decode_kernel(const float* __restrict__ ycbcr, float* __restrict__ out, int width, int height,
                       QV_DECODE_PARAMS) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int at = 3 * (y * width + x);
    QV_DECODE.store(out + at, ycbcr[at], ycbcr[at + 1], ycbcr[at + 2]);
}
