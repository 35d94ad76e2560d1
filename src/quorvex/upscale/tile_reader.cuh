#define TILE_FLOAT32 0
#define TILE_FLOAT16 1
#define TILE_FLOAT64 2
#define TILE_UINT8 3
#define TILE_UINT16 4
#define TILE_BOOL 5
#define TILE_ENTRY 5

__device__ float half_bits_to_float(unsigned short h) {
    unsigned int sign = (unsigned int)(h & 0x8000u) << 16;
    unsigned int exponent = (h >> 10) & 0x1fu;
    unsigned int mantissa = h & 0x3ffu;
    unsigned int bits;
    if (exponent == 0x1fu) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        // Subnormal half: normalise, every one of them is a normal float.
        int shift = 0;
        while (!(mantissa & 0x400u)) {
            mantissa <<= 1;
            ++shift;
        }
        bits = sign | ((unsigned int)(113 - shift) << 23) | ((mantissa & 0x3ffu) << 13);
    }
    return __int_as_float((int)bits);
}

__device__ float tile_value(const long long* entry, int y, int x, int c) {
    const char* p = reinterpret_cast<const char*>(entry[0]) + y * entry[1] + x * entry[2] + c * entry[3];
    switch (entry[4]) {
    case TILE_FLOAT16: return half_bits_to_float(*reinterpret_cast<const unsigned short*>(p));
    case TILE_FLOAT64: return (float)*reinterpret_cast<const double*>(p);
    case TILE_UINT8: return (float)*reinterpret_cast<const unsigned char*>(p) / 255.0f;
    case TILE_UINT16: return (float)*reinterpret_cast<const unsigned short*>(p) / 65535.0f;
    case TILE_BOOL: return *reinterpret_cast<const unsigned char*>(p) ? 1.0f : 0.0f;
    default: return *reinterpret_cast<const float*>(p);
    }
}
