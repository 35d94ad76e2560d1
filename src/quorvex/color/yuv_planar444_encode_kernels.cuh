// One entry per element type of the image read (typed_entries: float, uint8, uint16, float16).
extern "C" __global__ void __launch_bounds__(256)
planar444_8_encode_kernel$S(const $T* __restrict__ bgr, unsigned char* __restrict__ y, unsigned char* __restrict__ cb,
                            unsigned char* __restrict__ cr, int width, int height, QV_ENCODE_PARAMS) {
    planar444_encode(bgr, y, cb, cr, width, height, 0, QV_ENCODE);
}

extern "C" __global__ void __launch_bounds__(256)
planar444_16_encode_kernel$S(const $T* __restrict__ bgr, unsigned short* __restrict__ y,
                             unsigned short* __restrict__ cb, unsigned short* __restrict__ cr, int width, int height,
                             QV_ENCODE_PARAMS) {
    planar444_encode(bgr, y, cb, cr, width, height, 0, QV_ENCODE);
}
