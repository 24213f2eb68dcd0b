// The bounded buffers through which a distributed state's processes trade
// amplitudes: device memory that the kernels fill and read, and, where the
// transport cannot take device memory (device memory that is not host memory,
// an MPI library that is not CUDA-aware), page-locked staging copies.
#pragma once

#include <cstddef>
#include <utility>

#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "vorlent/distributed/transport.h"

namespace vorlent {
namespace distributed {

#if defined(QM_BACKEND_CUDA)
constexpr bool kDeviceIsHost = false;
#else
// The emulated device's memory is host memory: transfers read and write it in place.
constexpr bool kDeviceIsHost = true;
#endif

class HostStage {
 public:
  HostStage() = default;
  explicit HostStage(size_t bytes) {
#if defined(QM_BACKEND_CUDA)
    void* p = nullptr;
    quillmarch::check_cuda(cudaMallocHost(&p, bytes));
    ptr_ = p;
#else
    (void)bytes;
#endif
  }
  HostStage(const HostStage&) = delete;
  HostStage& operator=(const HostStage&) = delete;
  HostStage(HostStage&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  HostStage& operator=(HostStage&& other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~HostStage() {
#if defined(QM_BACKEND_CUDA)
    if (ptr_ != nullptr) cudaFreeHost(ptr_);
#endif
  }
  void* get() const { return ptr_; }

 private:
  void* ptr_ = nullptr;
};

template <typename T>
struct ExchangeBuffers {
  // `device_transport`: the transport reads and writes device memory itself.
  ExchangeBuffers(size_t elements, int device, bool device_transport)
      : direct(kDeviceIsHost || device_transport),
        send(elements, device),
        recv(elements, device),
        send_stage(direct ? 0 : send.bytes()),
        recv_stage(direct ? 0 : recv.bytes()) {}
  void* send_host() const { return direct ? static_cast<void*>(send.get()) : send_stage.get(); }
  void* recv_host() const { return direct ? static_cast<void*>(recv.get()) : recv_stage.get(); }

  // Sends the first `count` packed elements of `send` to `partner` and puts
  // the partner's into `recv`, once the kernels that packed them are done.
  void trade(Transport& transport, size_t count, int partner) {
    const size_t bytes = count * sizeof(quillmarch::CuComplex<T>);
    if (direct) {
      quillmarch::check_cuda(cudaStreamSynchronize(nullptr));
    } else {
      quillmarch::check_cuda(cudaMemcpy(send_host(), send.get(), bytes, cudaMemcpyDeviceToHost));
    }
    transport.sendrecv(send_host(), recv_host(), bytes, partner);
    if (!direct) quillmarch::check_cuda(cudaMemcpy(recv.get(), recv_host(), bytes, cudaMemcpyHostToDevice));
  }

  bool direct;
  quillmarch::DeviceBuffer<quillmarch::CuComplex<T>> send;
  quillmarch::DeviceBuffer<quillmarch::CuComplex<T>> recv;
  HostStage send_stage;
  HostStage recv_stage;
};

}  // namespace distributed
}  // namespace vorlent
