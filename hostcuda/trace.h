// Launch trace of the emulation (see hostcuda/README.md).
#pragma once

#include <cstddef>
#include <string>

#include "hostcuda/hostcuda.h"

namespace hostcuda {

// One line per call, only while HOSTCUDA_TRACE names a file: the kernel's
// name with its template arguments, then its grid, block and dynamic shared
// memory; a GEMM as its routine name with m, n and k.
// `signature`: hostcuda::detail::kernel_signature of a kernel launched as a
// template argument, else null (the name then comes from the symbol table).
void trace_launch(const void* kernel, const char* signature, dim3 grid, dim3 block, size_t shared_bytes);
void trace_gemm(const char* routine, int m, int n, int k);
// "ns::kernel<float>" as the trace names it, or "kernel@0x..." in a stripped module.
std::string kernel_label(const void* kernel);

}  // namespace hostcuda
