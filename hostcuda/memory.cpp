// Device memory of the emulation: the table of allocations and page-locked
// ranges, and the runtime calls that allocate, fill and copy.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

using hostcuda::internal::current_device;
using hostcuda::internal::fail;

unsigned long long memory_limit() {
  long long v = hostcuda::settings().memory_bytes;
  if (v >= 0) return static_cast<unsigned long long>(v);
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page);
}

struct Allocation {
  size_t bytes;
  int device;
};

// Never destroyed: a daemon thread may still be inside a runtime call while
// the process exits and runs the destructors of globals.
std::mutex& memory_mutex = *new std::mutex;
std::map<uintptr_t, Allocation>& allocations = *new std::map<uintptr_t, Allocation>;  // keyed by start address
std::map<int, unsigned long long>& used_bytes = *new std::map<int, unsigned long long>;
std::map<uintptr_t, size_t>& registered = *new std::map<uintptr_t, size_t>;

// The allocation holding [p, p + bytes), if any; caller holds memory_mutex.
const Allocation* find_device_range(const void* p, size_t bytes) {
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  auto it = allocations.upper_bound(a);
  if (it == allocations.begin()) return nullptr;
  --it;
  if (a < it->first || a - it->first > it->second.bytes || bytes > it->second.bytes - (a - it->first)) return nullptr;
  return &it->second;
}

bool is_device_pointer(const void* p) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  return find_device_range(p, 0) != nullptr;
}

}  // namespace

cudaError_t cudaMalloc(void** ptr, size_t bytes) {
  if (ptr == nullptr) return fail(cudaErrorInvalidValue);
  *ptr = nullptr;
  if (bytes == 0) return cudaSuccess;
  std::lock_guard<std::mutex> lock(memory_mutex);
  const int device = current_device();
  unsigned long long& used = used_bytes[device];
  unsigned long long limit = memory_limit();
  if (bytes > limit || used > limit - bytes) return fail(cudaErrorMemoryAllocation);
  size_t rounded = (bytes + 255) & ~static_cast<size_t>(255);
  if (rounded < bytes) return fail(cudaErrorMemoryAllocation);
  void* p = std::aligned_alloc(256, rounded);
  if (p == nullptr) return fail(cudaErrorMemoryAllocation);
  allocations[reinterpret_cast<uintptr_t>(p)] = Allocation{bytes, device};
  used += bytes;
  *ptr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
  if (ptr == nullptr) return cudaSuccess;
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = allocations.find(reinterpret_cast<uintptr_t>(ptr));
  if (it == allocations.end()) return fail(cudaErrorInvalidValue);
  used_bytes[it->second.device] -= it->second.bytes;
  allocations.erase(it);
  std::free(ptr);
  return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(memory_mutex);
    if (bytes > 0 && find_device_range(ptr, bytes) == nullptr) return fail(cudaErrorInvalidValue);
  }
  if (bytes > 0) std::memset(ptr, value, bytes);
  return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaMemset(ptr, value, bytes);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  if (kind == cudaMemcpyDefault) {
    bool d = is_device_pointer(dst), s = is_device_pointer(src);
    kind = d ? (s ? cudaMemcpyDeviceToDevice : cudaMemcpyHostToDevice)
             : (s ? cudaMemcpyDeviceToHost : cudaMemcpyHostToHost);
  }
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) return fail(cudaErrorInvalidMemcpyDirection);
  if (bytes == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return fail(cudaErrorInvalidValue);
  {
    std::lock_guard<std::mutex> lock(memory_mutex);
    bool dst_dev = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    bool src_dev = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dst_dev && find_device_range(dst, bytes) == nullptr) return fail(cudaErrorInvalidValue);
    if (src_dev && find_device_range(src, bytes) == nullptr) return fail(cudaErrorInvalidValue);
  }
  std::memmove(dst, src, bytes);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaMemcpy(dst, src, bytes, kind);
}

cudaError_t cudaHostRegister(void* ptr, size_t bytes, unsigned int flags) {
  if (ptr == nullptr || bytes == 0 || flags != 0) return fail(cudaErrorInvalidValue);
  // Lets tests exercise callers' handling of memory that cannot be page-locked.
  if (hostcuda::settings().host_register_fails) return fail(cudaErrorInvalidValue);
  std::lock_guard<std::mutex> lock(memory_mutex);
  uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
  for (const auto& r : registered) {
    if (a < r.first + r.second && r.first < a + bytes) return fail(cudaErrorHostMemoryAlreadyRegistered);
  }
  registered[a] = bytes;
  return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = registered.find(reinterpret_cast<uintptr_t>(ptr));
  if (it == registered.end()) return fail(cudaErrorHostMemoryNotRegistered);
  registered.erase(it);
  return cudaSuccess;
}
