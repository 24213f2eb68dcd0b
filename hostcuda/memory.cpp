// Device memory of the emulation: the table of allocations and page-locked
// ranges, and the runtime calls that allocate, fill and copy.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using hostcuda::internal::check_release;
using hostcuda::internal::current_device;
using hostcuda::internal::defer_enabled;
using hostcuda::internal::enqueue;
using hostcuda::internal::fail;
using hostcuda::internal::sticky_error;
using hostcuda::internal::synchronize;
using hostcuda::internal::Use;

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

// [p, p + bytes) lies in one page-locked range.
bool is_page_locked(const void* p, size_t bytes) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  auto it = registered.upper_bound(a);
  if (it == registered.begin()) return false;
  --it;
  return a - it->first <= it->second && bytes <= it->second - (a - it->first);
}

Use range(const void* p, size_t bytes) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return Use{a, a + bytes};
}

// Resolves cudaMemcpyDefault and checks a copy as it is issued; the error is
// not recorded yet. Sets `nothing` for an empty copy.
cudaError_t check_copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind& kind, bool& nothing) {
  nothing = false;
  if (kind == cudaMemcpyDefault) {
    bool d = is_device_pointer(dst), s = is_device_pointer(src);
    kind = d ? (s ? cudaMemcpyDeviceToDevice : cudaMemcpyHostToDevice)
             : (s ? cudaMemcpyDeviceToHost : cudaMemcpyHostToHost);
  }
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) return cudaErrorInvalidMemcpyDirection;
  if (bytes == 0) {
    nothing = true;
    return cudaSuccess;
  }
  if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
  std::lock_guard<std::mutex> lock(memory_mutex);
  bool dst_dev = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
  bool src_dev = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
  if (dst_dev && find_device_range(dst, bytes) == nullptr) return cudaErrorInvalidValue;
  if (src_dev && find_device_range(src, bytes) == nullptr) return cudaErrorInvalidValue;
  return cudaSuccess;
}

// Under HOSTCUDA_DEFER: a copy that involves host memory waits for the
// device's queue, one between device buffers joins it.
cudaError_t deferred_copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  const int device = current_device();
  if (kind == cudaMemcpyDeviceToDevice) {
    enqueue(device, "memcpy", {range(dst, bytes), range(src, bytes)}, [dst, src, bytes] {
      std::memmove(dst, src, bytes);
      return true;
    });
    return cudaSuccess;
  }
  const cudaError_t e = synchronize(device);
  if (e != cudaSuccess) return e;
  std::memmove(dst, src, bytes);
  return cudaSuccess;
}

}  // namespace

cudaError_t cudaMalloc(void** ptr, size_t bytes) {
  if (ptr == nullptr) return fail(cudaErrorInvalidValue);
  *ptr = nullptr;
  const int device = current_device();
  if (defer_enabled()) {
    const cudaError_t sticky = sticky_error(device);
    if (sticky != cudaSuccess) return fail(sticky);
  }
  if (bytes == 0) return cudaSuccess;
  std::lock_guard<std::mutex> lock(memory_mutex);
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
  // A GPU frees at once too (cudaFree only may synchronise), so memory a
  // queued operation still uses is a fault, not a wait.
  const cudaError_t e = defer_enabled() ? check_release("cudaFree", ptr, it->second.bytes) : cudaSuccess;
  used_bytes[it->second.device] -= it->second.bytes;
  allocations.erase(it);
  std::free(ptr);
  return fail(e);
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes) {
  const bool defer = defer_enabled();
  if (defer) {
    const cudaError_t sticky = sticky_error(current_device());
    if (sticky != cudaSuccess) return fail(sticky);
  }
  {
    std::lock_guard<std::mutex> lock(memory_mutex);
    if (bytes > 0 && find_device_range(ptr, bytes) == nullptr) return fail(cudaErrorInvalidValue);
  }
  if (bytes == 0) return cudaSuccess;
  if (defer) {
    enqueue(current_device(), "memset", {range(ptr, bytes)}, [ptr, value, bytes] {
      std::memset(ptr, value, bytes);
      return true;
    });
    return cudaSuccess;
  }
  std::memset(ptr, value, bytes);
  return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaMemset(ptr, value, bytes);
}

namespace {

cudaError_t blocking_copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, bool defer) {
  if (defer) {
    const cudaError_t sticky = sticky_error(current_device());
    if (sticky != cudaSuccess) return fail(sticky);
  }
  bool nothing = false;
  const cudaError_t e = check_copy(dst, src, bytes, kind, nothing);
  if (e != cudaSuccess) return fail(e);
  if (nothing) return cudaSuccess;
  if (defer) return deferred_copy(dst, src, bytes, kind);
  std::memmove(dst, src, bytes);
  return cudaSuccess;
}

}  // namespace

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  return blocking_copy(dst, src, bytes, kind, defer_enabled());
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  if (!defer_enabled()) return blocking_copy(dst, src, bytes, kind, false);
  const int device = current_device();
  const cudaError_t sticky = sticky_error(device);
  if (sticky != cudaSuccess) return fail(sticky);
  bool nothing = false;
  const cudaError_t e = check_copy(dst, src, bytes, kind, nothing);
  if (e != cudaSuccess) return fail(e);
  if (nothing) return cudaSuccess;
  if (kind == cudaMemcpyHostToDevice) {
    if (is_page_locked(src, bytes)) {
      // Page-locked memory is read when the copy runs, as the GPU's DMA does.
      enqueue(device, "memcpy", {range(dst, bytes), range(src, bytes)}, [dst, src, bytes] {
        std::memcpy(dst, src, bytes);
        return true;
      });
    } else {
      // From pageable memory the runtime stages the source before returning,
      // so the caller may reuse it at once.
      auto staged = std::make_shared<std::vector<unsigned char>>(static_cast<const unsigned char*>(src),
                                                                 static_cast<const unsigned char*>(src) + bytes);
      enqueue(device, "memcpy", {range(dst, bytes)}, [dst, staged, bytes] {
        std::memcpy(dst, staged->data(), bytes);
        return true;
      });
    }
    return cudaSuccess;
  }
  if (kind == cudaMemcpyDeviceToHost && is_page_locked(dst, bytes)) {
    enqueue(device, "memcpy", {range(dst, bytes), range(src, bytes)}, [dst, src, bytes] {
      std::memcpy(dst, src, bytes);
      return true;
    });
    return cudaSuccess;
  }
  // Device to device joins the queue; into pageable host memory the copy is
  // synchronous, as the runtime's is.
  return deferred_copy(dst, src, bytes, kind);
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
  const cudaError_t e = defer_enabled() ? check_release("cudaHostUnregister", ptr, it->second) : cudaSuccess;
  registered.erase(it);
  return fail(e);
}
