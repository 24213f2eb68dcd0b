// CPU emulation of the part of the CUDA runtime (and cuBLAS) this project uses.
// Kernel sources compile against this header as plain C++ when no GPU build is
// wanted; see hostcuda/README.md for what is emulated and how faithfully.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#define __host__
#define __device__
#define __global__
#define __forceinline__ inline
#define __noinline__
// One OS worker runs one block to completion at a time, so per-thread storage
// is per-block storage for static shared arrays.
#define __shared__ static thread_local

enum cudaError_t {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidDevicePointer = 17,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorIllegalAddress = 700,
  cudaErrorHostMemoryAlreadyRegistered = 712,
  cudaErrorHostMemoryNotRegistered = 713,
  cudaErrorLaunchFailure = 719,
  cudaErrorUnknown = 999,
};
typedef cudaError_t cudaError;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

struct CUstream_st;
typedef CUstream_st* cudaStream_t;

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};
struct uint3 {
  unsigned int x, y, z;
};

struct alignas(8) float2 {
  float x, y;
};
struct alignas(16) float4 {
  float x, y, z, w;
};
struct alignas(16) double2 {
  double x, y;
};
inline float2 make_float2(float x, float y) { return {x, y}; }
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline double2 make_double2(double x, double y) { return {x, y}; }

// Built-in variables of the running emulated thread. Inline and constant-
// initialised, so their accesses need no thread-local init wrapper (through
// which GCC's null-pointer sanitizer misjudges them on some optimised paths).
// Initial-exec: an access is one %fs-relative load, not a __tls_get_addr call
// per access, at the price of a few bytes of the loader's static TLS reserve.
#define HOSTCUDA_STATIC_TLS __attribute__((tls_model("initial-exec")))
inline thread_local uint3 threadIdx HOSTCUDA_STATIC_TLS{0, 0, 0};
inline thread_local uint3 blockIdx HOSTCUDA_STATIC_TLS{0, 0, 0};
inline thread_local uint3 blockDim HOSTCUDA_STATIC_TLS{1, 1, 1};
inline thread_local uint3 gridDim HOSTCUDA_STATIC_TLS{1, 1, 1};

void __syncthreads();
// Block-wide barrier: stronger than a warp barrier, and exited threads count as
// arrived, so any correct use of a partial-warp barrier is served by it.
inline void __syncwarp(unsigned int = 0xffffffffu) { __syncthreads(); }

double atomicAdd(double* address, double value);
float atomicAdd(float* address, float value);
unsigned long long atomicAdd(unsigned long long* address, unsigned long long value);

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaMalloc(void** ptr, size_t bytes);
template <typename T>
inline cudaError_t cudaMalloc(T** ptr, size_t bytes) {
  return cudaMalloc(reinterpret_cast<void**>(ptr), bytes);
}
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemset(void* ptr, int value, size_t bytes);
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaHostRegister(void* ptr, size_t bytes, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

namespace hostcuda {

// The emulation's environment switches (HOSTCUDA_DEVICE_COUNT,
// HOSTCUDA_MEMORY_BYTES, HOSTCUDA_HOST_REGISTER_FAILS, HOSTCUDA_TRACE), taken
// as one snapshot. A program that calls refresh_settings() decides when the
// environment is read (the Python bindings: on every call, holding the
// interpreter lock); until it first does, every runtime call reads it afresh.
// The worker pool takes HOSTCUDA_THREADS and HOSTCUDA_SPIN from the snapshot
// once, when it starts.
struct Settings {
  int device_count = 1;
  long long memory_bytes = -1;  // -1: the machine's physical memory
  bool host_register_fails = false;
  std::string trace_path;  // empty: no trace
  // HOSTCUDA_FAIL_LAUNCH_AFTER: launches that run, counted from the last
  // refresh or change of the value, before every later one fails as a
  // faulting kernel does; -1: none fails.
  long long launches_before_failure = -1;
  // HOSTCUDA_GPU_GEOMETRY=1: kernels with barriers keep their GPU block sizes
  // (every thread on a fiber) instead of one thread per block.
  bool gpu_geometry = false;
  // HOSTCUDA_DEFER: launches, memsets and device-side copies are queued per
  // device and run at the next synchronising call (hostcuda/README.md).
  bool defer = false;
  long long threads = 1;  // HOSTCUDA_THREADS, default the machine's cores
  bool spin = true;       // HOSTCUDA_SPIN=0: waiting threads sleep at once
};
void refresh_settings();
Settings settings();
// settings().gpu_geometry, for launch sites.
bool gpu_geometry();

// Pointer to the dynamic shared memory of the running block.
void* dynamic_shared_memory();

namespace detail {

// The threads of one launch, as the executor runs them: `thread` runs the
// emulated thread whose indices are set (on a fiber when the kernel has
// barriers); `threads` runs threads `first`.. of the current block as a plain
// loop, with the kernel called directly when it is known at compile time.
struct GridBody {
  void (*thread)(void* context);
  void (*threads)(void* context, unsigned first);
  void* context;
  // Only for a launch queued under HOSTCUDA_DEFER, whose context outlives the
  // caller's stack frame: a heap copy of the context, its release, and the
  // `pointer_count` pointer arguments it holds (what cudaFree checks against).
  void* (*copy)(const void* context);
  void (*release)(void* context);
  void (*pointers)(const void* context, uintptr_t* out);
  unsigned pointer_count;
};

// Runs `body` over the grid (or, under HOSTCUDA_DEFER, queues a copy of it);
// records a launch error in the last-error state instead of running when the
// configuration is illegal. `kernel` identifies the kernel for the launch
// trace and diagnostics only.
void run_grid(const void* kernel, const char* signature, dim3 grid, dim3 block, size_t shared_bytes,
              cudaStream_t stream, const GridBody& body);

// The compiler's spelling of a kernel given as a template argument ("... [with
// auto kernel = ns::kernel<float>]"), which the launch trace names it by: it is
// in the module's data, so it survives stripping, unlike the symbol table.
template <auto kernel>
const char* kernel_signature() {
  return __PRETTY_FUNCTION__;
}

// Calls `call` once per thread of the current block from linear index `first`
// on, setting threadIdx from loop counters.
template <typename Call>
inline void for_block_threads(unsigned first, Call&& call) {
  const uint3 dim = blockDim;
  uint3 at{first, 0, 0};
  if (first >= dim.x) {
    at.x = first % dim.x;
    at.y = (first / dim.x) % dim.y;
    at.z = first / (dim.x * dim.y);
  }
  for (unsigned z = at.z; z < dim.z; ++z) {
    for (unsigned y = at.y; y < dim.y; ++y) {
      threadIdx.y = y;
      threadIdx.z = z;
      for (unsigned x = at.x; x < dim.x; ++x) {
        threadIdx.x = x;
        call();
      }
      at.x = 0;
    }
    at.y = 0;
  }
}

// Arguments are converted to the kernel's parameter types once, as the real
// launch copies them into the argument block. Kernel parameters are values,
// so every emulated thread calls with its own copies and may modify them.
template <typename... KArgs>
using ArgumentBlock = std::tuple<typename std::decay<KArgs>::type...>;

// Pointer arguments of a launch, found from the parameter types at compile time.
template <typename T>
inline constexpr bool is_data_pointer = std::is_pointer<T>::value && std::is_object<std::remove_pointer_t<T>>::value;

template <typename... T>
inline constexpr unsigned pointer_arguments = (0u + ... + (is_data_pointer<T> ? 1u : 0u));

template <typename Block, size_t... I>
inline void block_pointers(const Block& block, uintptr_t* out, std::index_sequence<I...>) {
  auto put = [&out](const auto& value) {
    if constexpr (is_data_pointer<std::decay_t<decltype(value)>>) *out++ = reinterpret_cast<uintptr_t>(value);
  };
  (put(std::get<I>(block)), ...);
  (void)put;
}

// Heap copy of a launch context, for a queued launch.
template <typename Context>
struct Deferrable {
  static void* copy(const void* context) { return new Context(*static_cast<const Context*>(context)); }
  static void release(void* context) { delete static_cast<Context*>(context); }
};

// The kernel known at compile time: the per-block loop calls it directly and
// the compiler can inline it.
template <typename Kernel, Kernel kernel>
struct StaticKernel;

template <typename... KArgs, void (*kernel)(KArgs...)>
struct StaticKernel<void (*)(KArgs...), kernel> {
  using Block = ArgumentBlock<KArgs...>;
  template <typename... Args>
  static Block arguments(Args&&... args) {
    static_assert(sizeof...(KArgs) == sizeof...(Args), "kernel argument count mismatch");
    return Block(static_cast<KArgs>(args)...);
  }
  static void thread(void* context) { std::apply(kernel, *static_cast<const Block*>(context)); }
  static void threads(void* context, unsigned first) {
    const Block& args = *static_cast<const Block*>(context);
    for_block_threads(first, [&args] { std::apply(kernel, args); });
  }
  static constexpr unsigned pointer_count = pointer_arguments<std::decay_t<KArgs>...>;
  static void pointers(const void* context, uintptr_t* out) {
    block_pointers(*static_cast<const Block*>(context), out, std::index_sequence_for<KArgs...>{});
  }
  static GridBody body(Block& frame) {
    using Heap = Deferrable<Block>;
    return GridBody{&thread, &threads, &frame, &Heap::copy, &Heap::release, &pointers, pointer_count};
  }
};

// The kernel known only at run time: one indirect call per emulated thread.
template <typename... KArgs>
struct DynamicKernel {
  void (*kernel)(KArgs...);
  ArgumentBlock<KArgs...> args;
  static void thread(void* context) {
    const auto* f = static_cast<const DynamicKernel*>(context);
    std::apply(f->kernel, f->args);
  }
  static void threads(void* context, unsigned first) {
    const auto* f = static_cast<const DynamicKernel*>(context);
    for_block_threads(first, [f] { std::apply(f->kernel, f->args); });
  }
  static constexpr unsigned pointer_count = pointer_arguments<std::decay_t<KArgs>...>;
  static void pointers(const void* context, uintptr_t* out) {
    block_pointers(static_cast<const DynamicKernel*>(context)->args, out, std::index_sequence_for<KArgs...>{});
  }
  GridBody body() {
    using Heap = Deferrable<DynamicKernel>;
    return GridBody{&thread, &threads, this, &Heap::copy, &Heap::release, &pointers, pointer_count};
  }
};

}  // namespace detail

// Emulated `kernel<<<grid, block, shared_bytes, stream>>>(args...)` with the
// kernel as a template argument: `launch<kernel>(grid, block, shared, stream, args...)`.
template <auto kernel, typename... Args>
void launch(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args&&... args) {
  using Static = detail::StaticKernel<decltype(kernel), kernel>;
  auto frame = Static::arguments(std::forward<Args>(args)...);
  detail::run_grid(reinterpret_cast<const void*>(kernel), detail::kernel_signature<kernel>(), grid, block, shared_bytes,
                   stream, Static::body(frame));
}

// The same launch with the kernel as a run-time pointer; slower per emulated
// thread, kept for kernels chosen at run time.
template <typename... KArgs, typename... Args>
void launch(void (*kernel)(KArgs...), dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args&&... args) {
  static_assert(sizeof...(KArgs) == sizeof...(Args), "kernel argument count mismatch");
  using Dynamic = detail::DynamicKernel<KArgs...>;
  Dynamic frame{kernel, detail::ArgumentBlock<KArgs...>(static_cast<KArgs>(args)...)};
  detail::run_grid(reinterpret_cast<const void*>(kernel), nullptr, grid, block, shared_bytes, stream, frame.body());
}

}  // namespace hostcuda
