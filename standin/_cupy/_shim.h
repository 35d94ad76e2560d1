// Host rendering of the CUDA C++ device dialect.  The kernel text that follows
// this header is compiled unchanged by the host compiler; only the machine is
// imitated: a grid of blocks runs as loops on the CPU (blocks spread over
// OpenMP threads), each CUDA thread being one call of the kernel with its own
// threadIdx.  Kernels that call __syncthreads() run their threads as fibers
// so that shared-memory tiles behave as on the device.
// Not provided: warp intrinsics (__shfl*, __ballot*, __syncwarp), textures,
// half precision, cooperative groups.  Using them fails to compile, loudly.

#include <stdint.h>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cfloat>
#include <math.h>
#include <stdlib.h>
#include <assert.h>
#include <limits>
#include <tuple>
#include <utility>
#include <type_traits>
#include <setjmp.h>
#include <ucontext.h>
#include <sys/mman.h>

#define __CUDACC__ 1
#define __CUDACC_RTC__ 1
#define __CUDA_ARCH__ 800

#define __global__
// Plain inline (not static inline): __device__ also qualifies member functions.
#define __device__ inline
#define __host__
// Empty: it always comes with __device__, and a second inline is an error.
#define __forceinline__
#define __noinline__ __attribute__((noinline))
#define __launch_bounds__(...)
#define __align__(n) __attribute__((aligned(n)))
#define __constant__
#define __managed__
// Blocks never share an OS thread at the same time, and a block's threads
// (fibers) all live on one, so thread_local storage is per-block storage.
#define __shared__ static thread_local

// ---- vector types ---------------------------------------------------------
#define STANDIN_VEC(T, N, A2, A4)                                                    \
  struct __attribute__((aligned(A2))) N##2 { T x, y; };                             \
  struct N##3 { T x, y, z; };                                                        \
  struct __attribute__((aligned(A4))) N##4 { T x, y, z, w; };                       \
  inline N##2 make_##N##2(T x, T y) { return N##2{x, y}; }                          \
  inline N##3 make_##N##3(T x, T y, T z) { return N##3{x, y, z}; }                  \
  inline N##4 make_##N##4(T x, T y, T z, T w) { return N##4{x, y, z, w}; }

STANDIN_VEC(signed char, char, 2, 4)
STANDIN_VEC(unsigned char, uchar, 2, 4)
STANDIN_VEC(short, short, 4, 8)
STANDIN_VEC(unsigned short, ushort, 4, 8)
STANDIN_VEC(int, int, 8, 16)
STANDIN_VEC(unsigned int, uint, 8, 16)
STANDIN_VEC(long long, longlong, 16, 16)
STANDIN_VEC(unsigned long long, ulonglong, 16, 16)
STANDIN_VEC(float, float, 8, 16)
STANDIN_VEC(double, double, 16, 16)
#undef STANDIN_VEC

struct dim3 { unsigned int x, y, z; };

static thread_local uint3 threadIdx;
static thread_local uint3 blockIdx;
static thread_local dim3 blockDim;
static thread_local dim3 gridDim;
static const int warpSize = 32;

// ---- math -----------------------------------------------------------------
inline float rsqrtf(float x) { return 1.0f / sqrtf(x); }
inline double rsqrt(double x) { return 1.0 / sqrt(x); }
inline float rcbrtf(float x) { return 1.0f / cbrtf(x); }
// The device computes these with an exact reduction by pi; double precision comes close.
inline float sinpif(float x) { return (float)std::sin(M_PI * (double)x); }
inline float cospif(float x) { return (float)std::cos(M_PI * (double)x); }
inline void sincospif(float x, float* s, float* c) { *s = sinpif(x); *c = cospif(x); }
inline float fdividef(float a, float b) { return a / b; }
inline float __fdividef(float a, float b) { return a / b; }
inline float __expf(float x) { return expf(x); }
inline float __exp10f(float x) { return exp10f(x); }
inline float __logf(float x) { return logf(x); }
inline float __log2f(float x) { return log2f(x); }
inline float __log10f(float x) { return log10f(x); }
inline float __powf(float a, float b) { return powf(a, b); }
inline float __sinf(float x) { return sinf(x); }
inline float __cosf(float x) { return cosf(x); }
inline float __tanf(float x) { return tanf(x); }
inline void __sincosf(float x, float* s, float* c) { sincosf(x, s, c); }
inline float __saturatef(float x) { return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f; }  // NaN -> 0
// The _rn operations round on their own and are never contracted into a fused multiply-add:
// the empty asm makes the compiler keep each rounded result.
template <typename T> inline T standin_rounded(T v) { __asm__("" : "+m"(v)); return v; }
inline float __fadd_rn(float a, float b) { return standin_rounded(a + b); }
inline float __fsub_rn(float a, float b) { return standin_rounded(a - b); }
inline float __fmul_rn(float a, float b) { return standin_rounded(a * b); }
inline float __fdiv_rn(float a, float b) { return a / b; }
inline float __fmaf_rn(float a, float b, float c) { return fmaf(a, b, c); }
inline float __frcp_rn(float x) { return 1.0f / x; }
inline float __fsqrt_rn(float x) { return sqrtf(x); }
inline float __frsqrt_rn(float x) { return 1.0f / sqrtf(x); }
inline double __dadd_rn(double a, double b) { return standin_rounded(a + b); }
inline double __dmul_rn(double a, double b) { return standin_rounded(a * b); }

// The device saturates out-of-range conversions and maps NaN to 0; a plain
// host cast would be undefined there.
template <typename I> inline I standin_f2i(double v) {
  if (v != v) return 0;
  if (v <= (double)std::numeric_limits<I>::min()) return std::numeric_limits<I>::min();
  if (v >= (double)std::numeric_limits<I>::max()) return std::numeric_limits<I>::max();
  return (I)v;
}
inline int __float2int_rn(float x) { return standin_f2i<int>(nearbyintf(x)); }
inline int __float2int_rd(float x) { return standin_f2i<int>(floorf(x)); }
inline int __float2int_ru(float x) { return standin_f2i<int>(ceilf(x)); }
inline int __float2int_rz(float x) { return standin_f2i<int>(truncf(x)); }
inline unsigned int __float2uint_rn(float x) { return standin_f2i<unsigned int>(nearbyintf(x)); }
inline unsigned int __float2uint_rd(float x) { return standin_f2i<unsigned int>(floorf(x)); }
inline unsigned int __float2uint_ru(float x) { return standin_f2i<unsigned int>(ceilf(x)); }
inline unsigned int __float2uint_rz(float x) { return standin_f2i<unsigned int>(truncf(x)); }
inline long long __float2ll_rn(float x) { return standin_f2i<long long>(nearbyintf(x)); }
inline long long __float2ll_rz(float x) { return standin_f2i<long long>(truncf(x)); }
inline int __double2int_rn(double x) { return standin_f2i<int>(nearbyint(x)); }
inline int __double2int_rz(double x) { return standin_f2i<int>(trunc(x)); }
inline float __int2float_rn(int x) { return (float)x; }
inline float __uint2float_rn(unsigned int x) { return (float)x; }
inline float __ll2float_rn(long long x) { return (float)x; }
inline double __int2double_rn(int x) { return (double)x; }
inline float __double2float_rn(double x) { return (float)x; }
inline int __float_as_int(float x) { int r; memcpy(&r, &x, 4); return r; }
inline unsigned int __float_as_uint(float x) { unsigned int r; memcpy(&r, &x, 4); return r; }
inline float __int_as_float(int x) { float r; memcpy(&r, &x, 4); return r; }
inline float __uint_as_float(unsigned int x) { float r; memcpy(&r, &x, 4); return r; }
inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __clz(int x) { return x ? __builtin_clz((unsigned)x) : 32; }
inline int __clzll(long long x) { return x ? __builtin_clzll((unsigned long long)x) : 64; }
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __mul24(int a, int b) { return a * b; }
inline unsigned int __umul24(unsigned int a, unsigned int b) { return a * b; }
template <typename T> inline T __ldg(const T* p) { return *p; }

#define STANDIN_MINMAX(A, B, R)                                      \
  inline R min(A a, B b) { return (R)a < (R)b ? (R)a : (R)b; }       \
  inline R max(A a, B b) { return (R)a > (R)b ? (R)a : (R)b; }
STANDIN_MINMAX(int, int, int)
STANDIN_MINMAX(unsigned int, unsigned int, unsigned int)
STANDIN_MINMAX(int, unsigned int, unsigned int)
STANDIN_MINMAX(unsigned int, int, unsigned int)
STANDIN_MINMAX(long, long, long)
STANDIN_MINMAX(unsigned long, unsigned long, unsigned long)
STANDIN_MINMAX(long long, long long, long long)
STANDIN_MINMAX(unsigned long long, unsigned long long, unsigned long long)
STANDIN_MINMAX(long long, unsigned long long, unsigned long long)
STANDIN_MINMAX(unsigned long long, long long, unsigned long long)
#undef STANDIN_MINMAX
inline float min(float a, float b) { return fminf(a, b); }
inline float max(float a, float b) { return fmaxf(a, b); }
inline double min(double a, double b) { return fmin(a, b); }
inline double max(double a, double b) { return fmax(a, b); }
inline double min(float a, double b) { return fmin(a, b); }
inline double max(float a, double b) { return fmax(a, b); }
inline double min(double a, float b) { return fmin(a, b); }
inline double max(double a, float b) { return fmax(a, b); }
inline unsigned int umin(unsigned int a, unsigned int b) { return a < b ? a : b; }
inline unsigned int umax(unsigned int a, unsigned int b) { return a > b ? a : b; }
inline long long llmin(long long a, long long b) { return a < b ? a : b; }
inline long long llmax(long long a, long long b) { return a > b ? a : b; }

// ---- atomics (blocks really do run concurrently) --------------------------
template <typename T, typename U>
inline typename std::enable_if<std::is_integral<T>::value, T>::type atomicAdd(T* p, U v) { return __atomic_fetch_add(p, (T)v, __ATOMIC_SEQ_CST); }
template <typename T, typename U>
inline typename std::enable_if<std::is_integral<T>::value, T>::type atomicSub(T* p, U v) { return __atomic_fetch_sub(p, (T)v, __ATOMIC_SEQ_CST); }
template <typename T, typename U>
inline typename std::enable_if<std::is_integral<T>::value, T>::type atomicAnd(T* p, U v) { return __atomic_fetch_and(p, (T)v, __ATOMIC_SEQ_CST); }
template <typename T, typename U>
inline typename std::enable_if<std::is_integral<T>::value, T>::type atomicOr(T* p, U v) { return __atomic_fetch_or(p, (T)v, __ATOMIC_SEQ_CST); }
template <typename T, typename U>
inline typename std::enable_if<std::is_integral<T>::value, T>::type atomicXor(T* p, U v) { return __atomic_fetch_xor(p, (T)v, __ATOMIC_SEQ_CST); }
template <typename T, typename U> inline T atomicExch(T* p, U v) { T n = (T)v, o; __atomic_exchange(p, &n, &o, __ATOMIC_SEQ_CST); return o; }
template <typename T, typename U, typename V> inline T atomicCAS(T* p, U cmp, V v) {
  T e = (T)cmp; T n = (T)v; __atomic_compare_exchange(p, &e, &n, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST); return e;
}
template <typename T, typename F> inline T standin_atomic_update(T* p, F f) {
  T o, n;
  __atomic_load(p, &o, __ATOMIC_RELAXED);
  do { n = f(o); } while (!__atomic_compare_exchange(p, &o, &n, true, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
  return o;
}
inline float atomicAdd(float* p, float v) { return standin_atomic_update(p, [v](float o) { return o + v; }); }
inline double atomicAdd(double* p, double v) { return standin_atomic_update(p, [v](double o) { return o + v; }); }
template <typename T, typename U> inline T atomicMin(T* p, U v) { return standin_atomic_update(p, [v](T o) { return (T)v < o ? (T)v : o; }); }
template <typename T, typename U> inline T atomicMax(T* p, U v) { return standin_atomic_update(p, [v](T o) { return (T)v > o ? (T)v : o; }); }
inline unsigned int atomicInc(unsigned int* p, unsigned int m) { return standin_atomic_update(p, [m](unsigned int o) { return o >= m ? 0u : o + 1; }); }
inline unsigned int atomicDec(unsigned int* p, unsigned int m) { return standin_atomic_update(p, [m](unsigned int o) { return (o == 0 || o > m) ? m : o - 1; }); }

inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_block() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_system() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

#ifdef STANDIN_DYNAMIC_SHARED
// Backing store for `extern __shared__` arrays, which the loader rewrites
// into per-thread pointers to this buffer.
alignas(256) static thread_local unsigned char standin_dynamic_shared[STANDIN_DYNAMIC_SHARED];
#endif

// ---- execution ------------------------------------------------------------
namespace standin {

#if defined(__x86_64__)
// Minimal context switch (callee-saved registers and stack pointer only):
// ucontext's swapcontext makes a system call per switch, which dominated
// launches of kernels with barriers.
extern "C" void standin_switch(void** save_sp, void* next_sp);
asm(R"(
  .text
  .p2align 4
  .hidden standin_switch
  .type standin_switch, @function
standin_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size standin_switch, .-standin_switch
)");
#endif

// The first fault of a launch: an integer division by zero (kind 1), where the host traps
// (SIGFPE, which takes the interpreter down) and a GPU gives an unspecified value, or an access
// at an address not aligned for its type (kind 2), which a GPU refuses (a misaligned address) and
// the host would let pass. Kernels are compiled with -fsanitize=integer-divide-by-zero,alignment,
// so each such operation calls a handler at the end of this header first, which records it here
// and abandons the CUDA thread.
struct Fault {
  int taken = 0, kind = 0;
  unsigned block[3] = {0, 0, 0}, thread[3] = {0, 0, 0};
  unsigned line = 0, column = 0;
  const char* file = "";
};
static thread_local Fault* fault_sink = nullptr;  // the launch's record, per worker thread
static thread_local jmp_buf* fault_jump = nullptr;  // the running block, outside fibers
static thread_local Fault last_fault;               // the calling thread's last launch

// One fiber per CUDA thread of the current block; __syncthreads() hands
// control back to the scheduler, which runs every other thread of the block
// up to its own barrier before any thread goes on.
struct Fibers {
  unsigned n = 0;
  std::size_t stack = 0, page = 4096, map_len = 0;
  unsigned char* stacks = nullptr;
  unsigned char* done = nullptr;
  jmp_buf** jumps = nullptr;  // where each fiber goes after a trapped fault
  unsigned cur = 0;
  void (*body)(const void*) = nullptr;
  const void* arg = nullptr;
#if defined(__x86_64__)
  void* sched_sp = nullptr;
  void** sp = nullptr;
#else
  ucontext_t sched;
  ucontext_t* ctx = nullptr;
#endif

  bool init(unsigned count) {
    n = count;
    stack = 256 * 1024;
    map_len = stack * n;
    void* m = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) { map_len = 0; return false; }
    stacks = static_cast<unsigned char*>(m);
    // A guard page under each stack turns a fiber stack overflow into a crash
    // instead of silent damage to the neighbouring thread's frames.
    for (unsigned t = 0; t < n; ++t) mprotect(stacks + t * stack, page, PROT_NONE);
    done = static_cast<unsigned char*>(calloc(n, 1));
    jumps = static_cast<jmp_buf**>(calloc(n, sizeof(jmp_buf*)));
    if (!jumps) return false;
#if defined(__x86_64__)
    sp = static_cast<void**>(calloc(n, sizeof(void*)));
    return done && sp;
#else
    ctx = static_cast<ucontext_t*>(calloc(n, sizeof(ucontext_t)));
    return done && ctx;
#endif
  }
  ~Fibers() {
    if (stacks) munmap(stacks, map_len);
    free(done);
    free(jumps);
#if defined(__x86_64__)
    free(sp);
#else
    free(ctx);
#endif
  }

  void prepare(unsigned t, void (*entry)());
  void resume(unsigned t) {
    cur = t;
#if defined(__x86_64__)
    standin_switch(&sched_sp, sp[t]);
#else
    swapcontext(&sched, &ctx[t]);
#endif
  }
  void yield() {
#if defined(__x86_64__)
    standin_switch(&sp[cur], sched_sp);
#else
    swapcontext(&ctx[cur], &sched);
#endif
  }
};

static thread_local Fibers* current_fibers = nullptr;

[[noreturn]] static void fiber_entry() {
  Fibers* f = current_fibers;
  const unsigned me = f->cur;
  jmp_buf here;
  f->jumps[me] = &here;
  if (setjmp(here) == 0) f->body(f->arg);  // a fault ends this thread here
  f->done[me] = 1;
  for (;;) f->yield();  // never resumed once done
}

inline void Fibers::prepare(unsigned t, void (*entry)()) {
  done[t] = 0;
#if defined(__x86_64__)
  // Initial frame: six zeroed callee-saved registers, then `entry` as the
  // return address, leaving the stack aligned as after a call.
  uintptr_t top = reinterpret_cast<uintptr_t>(stacks + (t + 1) * stack) & ~uintptr_t(15);
  void** frame = reinterpret_cast<void**>(top) - 8;
  for (int i = 0; i < 6; ++i) frame[i] = nullptr;
  frame[6] = reinterpret_cast<void*>(entry);
  frame[7] = nullptr;
  sp[t] = frame;
#else
  getcontext(&ctx[t]);
  ctx[t].uc_stack.ss_sp = stacks + t * stack + page;
  ctx[t].uc_stack.ss_size = stack - page;
  ctx[t].uc_link = &sched;
  makecontext(&ctx[t], entry, 0);
#endif
}

template <typename F> struct signature;
template <typename... P> struct signature<void (*)(P...)> {
  static constexpr int count = sizeof...(P);
  using values = std::tuple<P...>;
};

// Parameter classification reported to the Python side, decided by the
// compiler so that typedefs, macros and qualifiers are already resolved:
// scalar codes 1 bool, 20+size float, 40+size signed, 60+size unsigned,
// 100+code vector of that element, -1 other; 0 void (only behind a pointer);
// pointers are 1000+pointee code, -2 pointer to pointer.
template <typename T> struct vec_elem { using type = void; static constexpr bool is_vec = false; };
#define STANDIN_VEC_ELEM(N, T)                                                                      \
  template <> struct vec_elem<N##2> { using type = T; static constexpr bool is_vec = true; };       \
  template <> struct vec_elem<N##3> { using type = T; static constexpr bool is_vec = true; };       \
  template <> struct vec_elem<N##4> { using type = T; static constexpr bool is_vec = true; };
STANDIN_VEC_ELEM(char, signed char)
STANDIN_VEC_ELEM(uchar, unsigned char)
STANDIN_VEC_ELEM(short, short)
STANDIN_VEC_ELEM(ushort, unsigned short)
STANDIN_VEC_ELEM(int, int)
STANDIN_VEC_ELEM(uint, unsigned int)
STANDIN_VEC_ELEM(longlong, long long)
STANDIN_VEC_ELEM(ulonglong, unsigned long long)
STANDIN_VEC_ELEM(float, float)
STANDIN_VEC_ELEM(double, double)
#undef STANDIN_VEC_ELEM

template <typename T> constexpr int scalar_kind() {
  using U = typename std::remove_cv<T>::type;
  if constexpr (std::is_void<U>::value) return 0;
  else if constexpr (std::is_same<U, bool>::value) return 1;
  else if constexpr (std::is_floating_point<U>::value) return sizeof(U) <= 8 ? 20 + (int)sizeof(U) : -1;
  else if constexpr (std::is_integral<U>::value) return (std::is_signed<U>::value ? 40 : 60) + (int)sizeof(U);
  else if constexpr (vec_elem<U>::is_vec) return 100 + scalar_kind<typename vec_elem<U>::type>();
  else return -1;
}
template <typename T> constexpr int param_kind() {
  if constexpr (std::is_pointer<T>::value) {
    using E = typename std::remove_pointer<T>::type;
    if constexpr (std::is_pointer<E>::value) return -2;
    else return 1000 + scalar_kind<E>();
  } else {
    return scalar_kind<T>();
  }
}
template <typename F> struct kinds_of;
template <typename... P> struct kinds_of<void (*)(P...)> {
  static void fill(int* out) {
    int i = 0;
    ((out[i++] = param_kind<P>()), ...);
    (void)out; (void)i;
  }
};

template <auto K, typename Tup> struct body {
  static void run(const void* vals) { std::apply(K, *static_cast<const Tup*>(vals)); }
};

// The order a block's threads run in between barriers varies from launch to launch, block to
// block and round to round (a rotation, forwards or backwards): the hardware promises no
// order, and one fixed order would hide a missing barrier.
static unsigned launch_counter = 0;
inline unsigned mix_bits(unsigned x) {
  x ^= x >> 16; x *= 0x7feb352dU; x ^= x >> 15; x *= 0x846ca68bU; x ^= x >> 16;
  return x;
}
inline unsigned thread_at(unsigned k, unsigned n, unsigned draw) {
  unsigned start = draw % n;
  return (draw >> 31) ? (start + n - k) % n : (start + k) % n;
}

template <auto K, std::size_t... I>
int launch(const unsigned* d, void** args, bool fibers, std::index_sequence<I...>) {
  using Tup = typename signature<decltype(K)>::values;
  const Tup vals(*static_cast<typename std::tuple_element<I, Tup>::type*>(args[I])...);
  (void)args;
  const unsigned gx = d[0], gy = d[1], gz = d[2], bx = d[3], by = d[4], bz = d[5];
  const unsigned nthreads = bx * by * bz;
  const unsigned seed = mix_bits(__atomic_add_fetch(&launch_counter, 1, __ATOMIC_RELAXED));
  int failed = 0;
  Fault fault;
#pragma omp parallel
  {
    gridDim = dim3{gx, gy, gz};
    blockDim = dim3{bx, by, bz};
    fault_sink = &fault;
    Fibers fb;
    bool ok = true;
    if (fibers) {
      ok = fb.init(nthreads);
      fb.body = &body<K, Tup>::run;
      fb.arg = &vals;
    }
    if (!ok) __atomic_store_n(&failed, 1, __ATOMIC_RELAXED);
#pragma omp for collapse(3) schedule(static)
    for (unsigned z = 0; z < gz; ++z)
      for (unsigned y = 0; y < gy; ++y)
        for (unsigned x = 0; x < gx; ++x) {
          if (!ok || __atomic_load_n(&fault.taken, __ATOMIC_RELAXED)) continue;
          blockIdx = uint3{x, y, z};
          const unsigned block_seed = mix_bits(seed ^ mix_bits((z * gy + y) * gx + x));
          if (!fibers) {
            jmp_buf here;
            fault_jump = &here;
            if (setjmp(here) == 0) {
              for (unsigned k = 0; k < nthreads; ++k) {
                unsigned t = thread_at(k, nthreads, block_seed);
                threadIdx = uint3{t % bx, (t / bx) % by, t / (bx * by)};
                std::apply(K, vals);
              }
            }
            fault_jump = nullptr;
          } else {
            for (unsigned t = 0; t < nthreads; ++t) fb.prepare(t, fiber_entry);
            current_fibers = &fb;
            unsigned left = nthreads, round = 0;
            while (left) {
              const unsigned draw = mix_bits(block_seed + round++);
              for (unsigned k = 0; k < nthreads; ++k) {
                unsigned t = thread_at(k, nthreads, draw);
                if (fb.done[t]) continue;
                threadIdx = uint3{t % bx, (t / bx) % by, t / (bx * by)};
                fb.resume(t);
                if (fb.done[t]) --left;
              }
            }
            current_fibers = nullptr;
          }
        }
    fault_sink = nullptr;
  }
  last_fault = fault;
  if (fault.taken) return 2;
  return failed;
}

}  // namespace standin

inline void __syncthreads() {
  standin::Fibers* f = standin::current_fibers;
  if (f) f->yield();
}

// Called (through -fsanitize=integer-divide-by-zero,alignment) before an integer division or
// remainder by zero, or a misaligned access: the data starts with the source location.
struct standin_source_location { const char* file; unsigned line, column; };
[[noreturn]] static void standin_fault(void* data, int kind) {
  using namespace standin;
  const standin_source_location* where = static_cast<const standin_source_location*>(data);
  Fault* sink = fault_sink;
  if (sink && __atomic_exchange_n(&sink->taken, 1, __ATOMIC_ACQ_REL) == 0) {
    sink->kind = kind;
    sink->block[0] = blockIdx.x, sink->block[1] = blockIdx.y, sink->block[2] = blockIdx.z;
    sink->thread[0] = threadIdx.x, sink->thread[1] = threadIdx.y, sink->thread[2] = threadIdx.z;
    sink->file = where->file, sink->line = where->line, sink->column = where->column;
  }
  Fibers* f = current_fibers;
  jmp_buf* target = f ? f->jumps[f->cur] : fault_jump;
  if (!target) abort();  // not inside a launch: nothing sensible to return to
  longjmp(*target, 1);
}
extern "C" void __ubsan_handle_divrem_overflow(void* data, void*, void*) { standin_fault(data, 1); }
extern "C" void __ubsan_handle_divrem_overflow_abort(void* data, void*, void*) { standin_fault(data, 1); }
extern "C" void __ubsan_handle_type_mismatch_v1(void* data, void*) { standin_fault(data, 2); }
extern "C" void __ubsan_handle_type_mismatch_v1_abort(void* data, void*) { standin_fault(data, 2); }

// Where the calling thread's last launch stopped: block x, y, z, thread x, y, z, line, column
// and the fault's kind into out; the file name is returned. Only meaningful after a launch returned 2.
extern "C" __attribute__((visibility("default"))) const char* standin_last_fault(unsigned* out) {
  const standin::Fault& f = standin::last_fault;
  for (int i = 0; i < 3; ++i) out[i] = f.block[i], out[3 + i] = f.thread[i];
  out[6] = f.line, out[7] = f.column, out[8] = f.kind;
  return f.file;
}
