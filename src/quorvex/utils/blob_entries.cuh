extern "C" __global__ void __launch_bounds__(256) $NAME$S(const $T* __restrict__ image, $T* __restrict__ blob,
                                       int input_width, int input_height, int width, int height, int channels,
                                       $SCALE scale_x, $SCALE scale_y, int swap_rb,
                                       float mean0, float mean1, float mean2, float mean3, float scale) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
$BATCH    BlobOut<$T> out{blob, width, height, swap_rb, mean0, mean1, mean2, mean3, scale};
    $CALL;
}
