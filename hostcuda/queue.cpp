// Deferred execution (HOSTCUDA_DEFER=1): launches, memsets, device-side copies
// and GEMMs wait in a queue per device, as on the legacy default stream, and
// run at the next synchronising call. Memory released while a queued
// operation still uses it is then an error, as it is on a GPU, instead of
// going unnoticed because the work already ran.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"
#include "hostcuda/trace.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using hostcuda::internal::Use;
using hostcuda::internal::Work;

struct Operation {
  const void* kernel;  // null for a copy, memset or GEMM
  const char* what;
  std::vector<Use> uses;
  Work work;
};

struct DeviceQueue {
  // Held while the queue drains, so operations of one device never overlap
  // or reorder, whichever host threads issue and synchronise.
  std::mutex mutex;
  std::vector<Operation> operations;
  std::atomic<int> sticky{cudaSuccess};
};

// Never destroyed: a thread may drain its work while the process exits.
std::mutex& registry_mutex = *new std::mutex;
std::map<int, DeviceQueue*>& queues = *new std::map<int, DeviceQueue*>;

DeviceQueue* find_queue(int device) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = queues.find(device);
  return it == queues.end() ? nullptr : it->second;
}

DeviceQueue& queue_for(int device) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  DeviceQueue*& q = queues[device];
  if (q == nullptr) q = new DeviceQueue();
  return *q;
}

std::vector<std::pair<int, DeviceQueue*>> all_queues() {
  std::lock_guard<std::mutex> lock(registry_mutex);
  return {queues.begin(), queues.end()};
}

// Caller holds q.mutex.
cudaError_t drain(DeviceQueue& q) {
  const auto sticky = static_cast<cudaError_t>(q.sticky.load(std::memory_order_relaxed));
  if (sticky != cudaSuccess) return sticky;
  bool failed = false;
  // Moved out first: a failed launch does not stop the rest, as without the
  // switch the next launch runs once the error is read.
  std::vector<Operation> operations = std::move(q.operations);
  q.operations.clear();
  for (Operation& op : operations) {
    if (!op.work()) failed = true;
  }
  return failed ? cudaErrorLaunchFailure : cudaSuccess;
}

void drain_all() {
  for (auto& [device, q] : all_queues()) {
    std::lock_guard<std::mutex> lock(q->mutex);
    drain(*q);
  }
}

// A host thread that issued work runs what is still queued when it exits.
// The scheduler's thread-locals of the exiting thread may already be
// destroyed, so the queue drains on a fresh thread.
struct DrainAtThreadExit {
  bool armed = false;
  ~DrainAtThreadExit() {
    if (!armed) return;
    try {
      std::thread(drain_all).join();
    } catch (...) {
      drain_all();
    }
  }
};
thread_local DrainAtThreadExit drain_at_exit;

bool overlaps(const Use& use, uintptr_t begin, uintptr_t end) { return use.begin < end && begin < use.end; }

}  // namespace

namespace hostcuda::internal {

cudaError_t sticky_error(int device) {
  DeviceQueue* q = find_queue(device);
  return q == nullptr ? cudaSuccess : static_cast<cudaError_t>(q->sticky.load(std::memory_order_relaxed));
}

void enqueue(int device, const char* what, std::vector<Use> uses, Work work) {
  DeviceQueue& q = queue_for(device);
  drain_at_exit.armed = true;
  std::lock_guard<std::mutex> lock(q.mutex);
  q.operations.push_back(Operation{nullptr, what, std::move(uses), std::move(work)});
}

void enqueue_launch(const void* kernel, dim3 grid, dim3 block, size_t shared_bytes, const detail::GridBody& body) {
  // The caller's argument frame is on its stack; the queued launch gets its own.
  std::shared_ptr<void> frame(body.copy(body.context), body.release);
  std::vector<uintptr_t> pointers(body.pointer_count);
  if (body.pointer_count > 0) body.pointers(frame.get(), pointers.data());
  std::vector<Use> uses;
  uses.reserve(pointers.size());
  for (uintptr_t p : pointers) {
    if (p != 0) uses.push_back(Use{p, p + 1});
  }
  detail::GridBody queued = body;
  queued.context = frame.get();
  DeviceQueue& q = queue_for(current_device());
  drain_at_exit.armed = true;
  std::lock_guard<std::mutex> lock(q.mutex);
  q.operations.push_back(Operation{kernel, "kernel", std::move(uses), [frame, queued, grid, block, shared_bytes] {
                                     return execute_grid(grid, block, shared_bytes, queued);
                                   }});
}

cudaError_t synchronize(int device) {
  DeviceQueue* q = find_queue(device);
  if (q == nullptr) return cudaSuccess;
  cudaError_t e;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    e = drain(*q);
  }
  return fail(e);
}

cudaError_t check_release(const char* call, const void* ptr, size_t bytes) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(ptr), end = begin + (bytes > 0 ? bytes : 1);
  for (auto& [device, q] : all_queues()) {
    std::lock_guard<std::mutex> lock(q->mutex);
    for (const Operation& op : q->operations) {
      bool used = false;
      for (const Use& use : op.uses) used = used || overlaps(use, begin, end);
      if (!used) continue;
      const std::string label = op.kernel != nullptr ? "kernel " + hostcuda::kernel_label(op.kernel) : op.what;
      std::fprintf(stderr,
                   "hostcuda: %s(%p) releases memory that a queued %s on device %d still uses; "
                   "an illegal memory access was encountered, the device's queue is discarded\n",
                   call, ptr, label.c_str(), device);
      q->operations.clear();
      q->sticky.store(cudaErrorIllegalAddress, std::memory_order_relaxed);
      return cudaErrorIllegalAddress;
    }
  }
  return cudaSuccess;
}

}  // namespace hostcuda::internal
