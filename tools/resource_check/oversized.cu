// Deliberately oversized kernels: tools/run_tests.sh compiles this file and
// expects tools/check_kernel_resources.py to reject both before it trusts the
// check on the project's own kernels.

// 40 doubles live at once, all products unrolled: far more than 64 registers
// per thread. Inlined, so each kernel below carries the whole demand.
__device__ __forceinline__ double register_heavy_sum(const double* in) {
  double v[40];
#pragma unroll
  for (int i = 0; i < 40; ++i) v[i] = in[threadIdx.x + 1024 * i];
  double acc = 0;
#pragma unroll
  for (int i = 0; i < 40; ++i) {
#pragma unroll
    for (int j = i; j < 40; ++j) acc += v[i] * v[j] / (1.0 + v[(i + j) % 40]);
  }
  return acc;
}

// No __launch_bounds__: launchable with 1024 threads, but needs far more than
// 64 registers per thread.
__global__ void no_bound_many_registers(const double* in, double* out) { out[threadIdx.x] = register_heavy_sum(in); }

// 1024 threads leave 64 registers per thread: the same work spills.
__global__ void __launch_bounds__(1024) bounded_spills(const double* in, double* out) {
  out[threadIdx.x] = register_heavy_sum(in);
}
