// The bounded buffers through which a distributed state's processes trade
// amplitudes: device memory that the kernels fill and read, and, where the
// transport cannot take device memory (device memory that is not host memory,
// an MPI library that is not CUDA-aware), page-locked staging copies.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
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

// Page-locked host memory, freed with cudaFreeHost. The emulation stages
// nothing (its device memory is host memory), so it never has any.
struct FreePinned {
  void operator()(void* p) const noexcept {
#if defined(QM_BACKEND_CUDA)
    cudaFreeHost(p);
#else
    (void)p;
#endif
  }
};
using HostStage = std::unique_ptr<void, FreePinned>;

// `bytes` of page-locked host memory; none (null) when `bytes` is 0.
inline HostStage pinned_host(size_t bytes) {
  void* p = nullptr;
#if defined(QM_BACKEND_CUDA)
  if (bytes > 0) quillmarch::check_cuda(cudaMallocHost(&p, bytes));
#else
  (void)bytes;
#endif
  return HostStage(p);
}

template <typename T>
struct ExchangeBuffers {
  // `device_transport`: the transport reads and writes device memory itself.
  ExchangeBuffers(size_t elements, int device, bool device_transport)
      : direct(kDeviceIsHost || device_transport),
        send(elements, device),
        recv(elements, device),
        send_stage(pinned_host(direct ? 0 : send.bytes())),
        recv_stage(pinned_host(direct ? 0 : recv.bytes())) {}
  void* send_host() const { return direct ? static_cast<void*>(send.get()) : send_stage.get(); }
  void* recv_host() const { return direct ? static_cast<void*>(recv.get()) : recv_stage.get(); }

  // One chunk's trade with `partner`: `pack` fills the first `count`
  // elements of `send`, they go to the partner, and `unpack` reads the
  // partner's from `recv`. A failure here (a device error, a Ctrl-C) is kept
  // in `error` for the caller to settle once its schedule is done. The two
  // sides first tell each other whether they can go on, so a pair stops
  // together and neither waits for a partner that has left: false once the
  // pair has stopped.
  template <typename Pack, typename Unpack>
  bool trade(Transport& transport, size_t count, int partner, std::string& error, Pack&& pack, Unpack&& unpack) {
    const size_t bytes = count * sizeof(quillmarch::CuComplex<T>);
    if (error.empty()) {
      try {
        pack();
        if (direct) {
          quillmarch::check_cuda(cudaStreamSynchronize(nullptr));
        } else {
          quillmarch::check_cuda(cudaMemcpy(send_host(), send.get(), bytes, cudaMemcpyDeviceToHost));
        }
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    if (error.empty() && transport.interrupted()) error = kInterrupted;
    const unsigned char mine = error.empty() ? 1 : 0;
    unsigned char theirs = 0;
    transport.sendrecv(&mine, &theirs, 1, partner);
    if (mine == 0 || theirs == 0) return false;
    transport.sendrecv(send_host(), recv_host(), bytes, partner);
    try {
      if (!direct) quillmarch::check_cuda(cudaMemcpy(recv.get(), recv_host(), bytes, cudaMemcpyHostToDevice));
      unpack();
    } catch (const std::exception& e) {
      error = e.what();
    }
    return true;
  }

  bool direct;
  quillmarch::DeviceBuffer<quillmarch::CuComplex<T>> send;
  quillmarch::DeviceBuffer<quillmarch::CuComplex<T>> recv;
  HostStage send_stage;
  HostStage recv_stage;
};

}  // namespace distributed
}  // namespace vorlent
