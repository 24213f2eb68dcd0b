// The runtime's per-thread state and the calls that read it: the current
// device, the last error and its texts; and the device atomics.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"

#include <cstring>

namespace {

using hostcuda::internal::device_count;

thread_local cudaError_t last_error = cudaSuccess;
thread_local int current_device = 0;

const char* error_string(cudaError_t e) {
  switch (e) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorHostMemoryAlreadyRegistered: return "part or all of the requested memory range is already mapped";
    case cudaErrorHostMemoryNotRegistered: return "pointer does not correspond to a registered memory region";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}

const char* error_name(cudaError_t e) {
  switch (e) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError: return "cudaErrorInitializationError";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
    case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
    case cudaErrorHostMemoryAlreadyRegistered: return "cudaErrorHostMemoryAlreadyRegistered";
    case cudaErrorHostMemoryNotRegistered: return "cudaErrorHostMemoryNotRegistered";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
    case cudaErrorUnknown: return "cudaErrorUnknown";
  }
  return "unrecognized error code";
}

}  // namespace

namespace hostcuda::internal {

cudaError_t fail(cudaError_t e) {
  if (e != cudaSuccess) last_error = e;
  return e;
}

int current_device() { return ::current_device; }

}  // namespace hostcuda::internal

using hostcuda::internal::fail;

double atomicAdd(double* address, double value) {
  auto* word = reinterpret_cast<unsigned long long*>(address);
  unsigned long long expected = __atomic_load_n(word, __ATOMIC_RELAXED);
  for (;;) {
    double current;
    std::memcpy(&current, &expected, sizeof current);
    double next = current + value;
    unsigned long long desired;
    std::memcpy(&desired, &next, sizeof desired);
    if (__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) return current;
  }
}

float atomicAdd(float* address, float value) {
  auto* word = reinterpret_cast<unsigned int*>(address);
  unsigned int expected = __atomic_load_n(word, __ATOMIC_RELAXED);
  for (;;) {
    float current;
    std::memcpy(&current, &expected, sizeof current);
    float next = current + value;
    unsigned int desired;
    std::memcpy(&desired, &next, sizeof desired);
    if (__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) return current;
  }
}

unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
  return __atomic_fetch_add(address, value, __ATOMIC_ACQ_REL);
}

cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return fail(cudaErrorInvalidValue);
  int n = device_count();
  if (n < 1) {
    *count = 0;
    return fail(cudaErrorNoDevice);
  }
  *count = n;
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  int n = device_count();
  if (n < 1) return fail(cudaErrorNoDevice);
  if (device < 0 || device >= n) return fail(cudaErrorInvalidDevice);
  current_device = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return fail(cudaErrorInvalidValue);
  *device = current_device;
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return hostcuda::internal::defer_enabled() ? hostcuda::internal::synchronize(current_device) : cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
  return hostcuda::internal::defer_enabled() ? hostcuda::internal::synchronize(current_device) : cudaSuccess;
}

cudaError_t cudaGetLastError() {
  cudaError_t e = last_error;
  last_error = cudaSuccess;
  return e;
}

cudaError_t cudaPeekAtLastError() { return last_error; }

const char* cudaGetErrorString(cudaError_t error) { return error_string(error); }
const char* cudaGetErrorName(cudaError_t error) { return error_name(error); }
