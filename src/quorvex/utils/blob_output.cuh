template <typename T> struct BlobOut {
    T* blob;
    int width, height, swap;
    float mean0, mean1, mean2, mean3, scale;
    __device__ __forceinline__ void put(int x, int y, int c, float v) const {
        T pixel;
        qv_store(&pixel, v);
        int d = swap && c != 1 && c < 3 ? 2 - c : c;
        float mean = d == 0 ? mean0 : d == 1 ? mean1 : d == 2 ? mean2 : mean3;
        qv_store(blob + (d * height + y) * width + x, (qv_value(pixel) - mean) * scale);
    }
};
