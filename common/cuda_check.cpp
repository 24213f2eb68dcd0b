#include "common/cuda_check.h"

namespace quillmarch {

std::string cuda_error_message(cudaError_t error) { return std::string("CUDA error: ") + cudaGetErrorString(error); }

void throw_call_failed(const std::string& operation) { throw std::runtime_error(operation + " failed"); }

void check_launch(const char* prefix) {
  cudaError_t error = cudaGetLastError();
  if (error != cudaSuccess) throw std::runtime_error(std::string(prefix) + cudaGetErrorString(error));
}

void check_last_error() { check_cuda(cudaGetLastError()); }

}  // namespace quillmarch
