// One entry per element type of the image read (typed_entries: float, uint8, uint16, float16).
extern "C" __global__ void __launch_bounds__(256)
planar8_encode_kernel$S(const $T* __restrict__ bgr, unsigned char* __restrict__ y, unsigned char* cb,
                        unsigned char* cr, int width, int height, int chroma_pitch, int chroma_step, int cr_at,
                        int vertical, QV_ENCODE_PARAMS) {
    planar_encode(bgr, y, cb, cr, width, height, chroma_pitch, chroma_step, cr_at, vertical, 0, QV_ENCODE);
}

extern "C" __global__ void __launch_bounds__(256)
planar16_encode_kernel$S(const $T* __restrict__ bgr, unsigned short* __restrict__ y, unsigned short* cb,
                         unsigned short* cr, int width, int height, int chroma_pitch, int chroma_step, int cr_at,
                         int vertical, int shift, QV_ENCODE_PARAMS) {
    planar_encode(bgr, y, cb, cr, width, height, chroma_pitch, chroma_step, cr_at, vertical, shift, QV_ENCODE);
}
