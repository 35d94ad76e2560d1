__device__ __forceinline__ int reflect_101(int i, int n) {
    if (i >= 0 && i < n) return i;
    if (n == 1) return 0;
    long long period = 2LL * (n - 1);
    long long m = (long long)i % period;
    if (m < 0) m += period;
    return (int)(m < n ? m : period - m);
}
