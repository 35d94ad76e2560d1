// One entry per element type of the image read (typed_entries: float, uint8, uint16, float16).
extern "C" __global__ void __launch_bounds__(256)
packed422_encode_kernel$S(const $T* __restrict__ bgr, unsigned char* __restrict__ frame, int width, int height,
                          int luma_at, int cb_at, int cr_at, QV_ENCODE_PARAMS) {
    packed422_encode(bgr, frame, width, height, luma_at, cb_at, cr_at, QV_ENCODE);
}
