// Images to uint8 or uint16 in one pass: floats scaled to the integer range (the exact product
// rounded half to even, saturated, NaN to 0, without FP64), 16 bits to 8 and 8 to 16. One entry
// per conversion, so that each holds only its own path.

// One element: float32 and float16 values scaled onto 0..255 or 0..65535; uint16 -> uint8
// rounds to nearest (+128, /257), uint8 -> uint16 repeats the byte (* 257).
__device__ __forceinline__ unsigned int quantized(float v, int top) { return (unsigned int)qv_unit_saturatef(v, (float)top); }
__device__ __forceinline__ unsigned int quantized(qv_half v, int top) { return quantized(qv_half_to_float(v.bits), top); }
__device__ __forceinline__ unsigned int quantized(unsigned short v, int) { return (v + 128u) / 257u; }
__device__ __forceinline__ unsigned int quantized(unsigned char v, int) { return v * 257u; }

// Four elements a thread, in one access each way where `vector` says that both arrays are
// aligned for it and the count is a multiple of four; element by element otherwise.
template <typename In, typename Out>
__device__ __forceinline__ void quantize_four(const In* __restrict__ input, Out* __restrict__ output, long long count,
                                              int vector) {
    const int top = sizeof(Out) == 1 ? 255 : 65535;
    long long first = ((long long)blockIdx.x * blockDim.x + threadIdx.x) * 4;
    if (first >= count) return;
    if (vector) {
        Four<In> in = *reinterpret_cast<const Four<In>*>(input + first);
        Four<Out> out;
        for (int k = 0; k < 4; ++k) out.v[k] = (Out)quantized(in.v[k], top);
        *reinterpret_cast<Four<Out>*>(output + first) = out;
        return;
    }
    for (long long i = first; i < first + 4 && i < count; ++i) output[i] = (Out)quantized(input[i], top);
}

extern "C" __global__ void __launch_bounds__(256)
quantize_float32_to_uint8(const float* __restrict__ input, unsigned char* __restrict__ output, long long count,
                          int vector) {
    quantize_four(input, output, count, vector);
}

extern "C" __global__ void __launch_bounds__(256)
quantize_float32_to_uint16(const float* __restrict__ input, unsigned short* __restrict__ output, long long count,
                           int vector) {
    quantize_four(input, output, count, vector);
}

extern "C" __global__ void __launch_bounds__(256)
quantize_float16_to_uint8(const qv_half* __restrict__ input, unsigned char* __restrict__ output, long long count,
                          int vector) {
    quantize_four(input, output, count, vector);
}

extern "C" __global__ void __launch_bounds__(256)
quantize_float16_to_uint16(const qv_half* __restrict__ input, unsigned short* __restrict__ output, long long count,
                           int vector) {
    quantize_four(input, output, count, vector);
}

extern "C" __global__ void __launch_bounds__(256)
quantize_uint16_to_uint8(const unsigned short* __restrict__ input, unsigned char* __restrict__ output,
                         long long count, int vector) {
    quantize_four(input, output, count, vector);
}

extern "C" __global__ void __launch_bounds__(256)
quantize_uint8_to_uint16(const unsigned char* __restrict__ input, unsigned short* __restrict__ output,
                         long long count, int vector) {
    quantize_four(input, output, count, vector);
}

// float64 keeps its own arithmetic: its values are rounded in double, one element a thread.
extern "C" __global__ void __launch_bounds__(256)
quantize_double_kernel(const double* __restrict__ input, unsigned char* __restrict__ output, long long count,
                       int output_bytes, double top) {
    long long i = (long long)blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) return;
    double v = qv_saturate(input[i] * top, top);
    if (output_bytes == 1) output[i] = (unsigned char)v;
    else reinterpret_cast<unsigned short*>(output)[i] = (unsigned short)v;
}
