// One entry per element type of the image read (typed_entries: float, uint8, uint16, float16).
extern "C" __global__ void __launch_bounds__(256)
v210_encode_kernel$S(const $T* __restrict__ bgr, unsigned char* __restrict__ frame, int width, int height, int pitch,
                     QV_ENCODE_PARAMS) {
    v210_encode(bgr, frame, width, height, pitch, QV_ENCODE);
}
