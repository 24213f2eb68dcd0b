// The one place where the CUDA runtime surface is reached. The cuda backend
// includes the real runtime; the host backend the CPU emulation in hostcuda/.
// Kernels are launched through quillmarch::launch so the same source serves both:
// `launch<kernel>(grid, block, shared, stream, args...)`, or `launch(kernel, grid, ...)`
// where the kernel is only known at run time.
#pragma once

#if defined(QM_BACKEND_CUDA)
#include <cuda_runtime.h>
#else
#include "hostcuda/hostcuda.h"
#endif

#include <cstddef>
#include <type_traits>
#include <utility>

#define QM_HD __host__ __device__ __forceinline__

// Unrolls the loop that follows. The GPU compiler unrolls it fully (its trip
// count is a compile-time constant); the host compiler up to `depth` times.
#if defined(__CUDACC__)
#define QM_UNROLL(depth) _Pragma("unroll")
#else
#define QM_PRAGMA(text) _Pragma(#text)
#define QM_UNROLL(depth) QM_PRAGMA(GCC unroll depth)
#endif

#if defined(__CUDACC__)
// Dynamic shared memory of the running block, viewed as `type`.
#define QM_DYNAMIC_SHARED(type, name)                                 \
  extern __shared__ __align__(16) unsigned char qm_dynamic_shared_[]; \
  type* name = reinterpret_cast<type*>(qm_dynamic_shared_)
#else
#define QM_DYNAMIC_SHARED(type, name) type* name = static_cast<type*>(hostcuda::dynamic_shared_memory())
// The emulation runs any block size; the bound matters to the GPU compiler only.
#ifndef __launch_bounds__
#define __launch_bounds__(...)
#endif
#endif

namespace quillmarch {

#if defined(__CUDACC__)
template <typename... KArgs, typename... Args>
inline void launch(void (*kernel)(KArgs...), dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream,
                   Args&&... args) {
  kernel<<<grid, block, shared_bytes, stream>>>(static_cast<KArgs>(args)...);
}

// The kernel as a template argument, `launch<kernel>(grid, block, ...)`: the
// same launch here; on the host backend it lets the kernel be inlined.
template <auto kernel, typename... Args>
inline void launch(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args&&... args) {
  launch(kernel, grid, block, shared_bytes, stream, std::forward<Args>(args)...);
}
#elif !defined(QM_BACKEND_CUDA)
using hostcuda::launch;
#endif

// Takes a fresh snapshot of the emulation's environment switches. Bindings
// call it while holding the interpreter lock, so the emulation never reads the
// environment while Python code may be writing it. Nothing to do on a GPU.
inline void refresh_runtime_settings() {
#if !defined(QM_BACKEND_CUDA)
  hostcuda::refresh_settings();
#endif
}

#if defined(__CUDACC__) || !defined(QM_BACKEND_CUDA)
// A kernel as a compile-time constant held in a value, for tables of kernels
// chosen at run time: `launch(kernel_constant<k>, grid, ...)` is `launch<k>(grid, ...)`.
template <auto kernel>
using KernelConstant = std::integral_constant<decltype(kernel), kernel>;
template <auto kernel>
inline constexpr KernelConstant<kernel> kernel_constant{};

template <typename Kernel, Kernel kernel, typename... Args>
inline void launch(std::integral_constant<Kernel, kernel>, dim3 grid, dim3 block, size_t shared_bytes,
                   cudaStream_t stream, Args&&... args) {
  launch<kernel>(grid, block, shared_bytes, stream, std::forward<Args>(args)...);
}
#endif

}  // namespace quillmarch
