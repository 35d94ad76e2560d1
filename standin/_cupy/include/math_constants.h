// The few CUDA math constants kernels use; the rest would fail to compile.
#pragma once
#define CUDART_PI_F 3.141592654f
#define CUDART_PI 3.1415926535897931e+0
#define CUDART_INF_F INFINITY
#define CUDART_NAN_F NAN
#define CUDART_INF ((double)INFINITY)
#define CUDART_NAN ((double)NAN)
#define CUDART_SQRT_2_F 1.414213562f
#define CUDART_MAX_NORMAL_F FLT_MAX
