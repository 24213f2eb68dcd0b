// What the units of the emulation share among themselves; kernels never
// include this (they see hostcuda/hostcuda.h only).
#pragma once

#include "hostcuda/hostcuda.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace hostcuda::internal {

// settings.cpp
// An integer switch from the environment; `fallback` when unset or empty.
long long env_ll(const char* name, long long fallback);
int device_count();
// Counts a launch; true when HOSTCUDA_FAIL_LAUNCH_AFTER says it fails.
bool next_launch_fails();
// HOSTCUDA_DEFER, from the snapshot once a caller refreshes (one load).
bool defer_enabled();

// api.cpp
// Records `e` as the calling thread's last error unless it is cudaSuccess.
cudaError_t fail(cudaError_t e);
int current_device();

// scheduler.cpp
// Fails the launch the calling thread is running blocks of: it stops handing
// out blocks, and the launch leaves cudaErrorLaunchFailure in the launching
// thread's last-error state, as a kernel that faults does on the device.
// `diagnostic` goes to stderr once per launch. Outside a launch, the error is
// the calling thread's own.
void fail_launch(const char* diagnostic);
// Runs `body` over the grid now, on the calling thread and the pool; false
// when the launch failed while running.
bool execute_grid(dim3 grid, dim3 block, size_t shared_bytes, const detail::GridBody& body);

// fiber.cpp
// Runs all threads of the current block as fibers. If `probe_only`, only
// thread 0 is started first: returns false when it ran to completion without
// a barrier (the caller may then run the remaining threads as a plain loop),
// true when the whole block has been run as fibers.
bool run_block_fibers(const detail::GridBody& body, unsigned threads, bool probe_only);

// queue.cpp: the per-device queues of HOSTCUDA_DEFER. Issue-time checks stay
// with the callers; what is queued here only runs, in issue order, when a
// synchronising call drains its device's queue.
// [begin, end) of memory a queued operation reads or writes; a pointer
// argument of a kernel, whose extent is unknown, is one byte.
struct Use {
  uintptr_t begin, end;
};
// Runs a queued operation; false when it failed as a faulting launch does.
using Work = std::function<bool()>;
// The error a fault left on `device` (sticky until the process ends), or cudaSuccess.
cudaError_t sticky_error(int device);
// `what` names the operation in diagnostics: "memcpy", "memset", "gemm".
void enqueue(int device, const char* what, std::vector<Use> uses, Work work);
void enqueue_launch(const void* kernel, dim3 grid, dim3 block, size_t shared_bytes, const detail::GridBody& body);
// Drains `device`'s queue; returns, and records as the last error, the
// device's sticky error or the launch failure of a queued kernel.
cudaError_t synchronize(int device);
// Before `call` (cudaFree, cudaHostUnregister) releases [ptr, ptr + bytes):
// cudaErrorIllegalAddress when a queued operation still uses it, after
// reporting that operation on stderr, discarding its device's queue and making
// the error sticky there; cudaSuccess otherwise.
cudaError_t check_release(const char* call, const void* ptr, size_t bytes);

}  // namespace hostcuda::internal
