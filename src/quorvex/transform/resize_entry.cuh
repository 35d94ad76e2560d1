extern "C" __global__ void __launch_bounds__($BOUNDS) $NAME$S(const $T* __restrict__ input, $T* __restrict__ output,
                                                          int input_width, int input_height, int new_width,
                                                          int new_height, int channels, $SCALE scale_x,
                                                          $SCALE scale_y) {
$BATCH    ResizedImage<$T> out{output, new_width, channels};
    $CALL;
}
