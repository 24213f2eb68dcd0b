// What the units of the emulation share among themselves; kernels never
// include this (they see hostcuda/hostcuda.h only).
#pragma once

#include "hostcuda/hostcuda.h"

namespace hostcuda::internal {

// settings.cpp
// An integer switch from the environment; `fallback` when unset or empty.
long long env_ll(const char* name, long long fallback);
int device_count();
// Counts a launch; true when HOSTCUDA_FAIL_LAUNCH_AFTER says it fails.
bool next_launch_fails();

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

// fiber.cpp
// Runs all threads of the current block as fibers. If `probe_only`, only
// thread 0 is started first: returns false when it ran to completion without
// a barrier (the caller may then run the remaining threads as a plain loop),
// true when the whole block has been run as fibers.
bool run_block_fibers(const detail::GridBody& body, unsigned threads, bool probe_only);

}  // namespace hostcuda::internal
