#include "common/dlpack_tensor.h"

#include <stdexcept>
#include <utility>

#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"

namespace quillmarch {

namespace {

// Manager context: the tensor, its shape storage and the owner of the buffer.
template <typename Managed>
struct ManagedHolder {
  Managed managed{};
  std::vector<int64_t> shape;
  std::shared_ptr<void> owner;
};

template <typename Managed>
void delete_holder(Managed* managed) {
  // May run on any thread, with or without the interpreter lock; the holder
  // touches no Python object.
  delete static_cast<ManagedHolder<Managed>*>(managed->manager_ctx);
}

template <typename Managed>
Managed* make_holder(ExportedBuffer buffer) {
  auto* holder = new ManagedHolder<Managed>();
  holder->shape = std::move(buffer.shape);
  holder->owner = std::move(buffer.owner);
  DLTensor& t = holder->managed.dl_tensor;
  t.data = buffer.data;
  t.device = exported_device(buffer.device_id);
  t.ndim = static_cast<int32_t>(holder->shape.size());
  t.dtype = exported_dtype(buffer.is_double);
  t.shape = holder->shape.data();
  t.strides = nullptr;  // compact row-major
  t.byte_offset = 0;
  holder->managed.manager_ctx = holder;
  holder->managed.deleter = &delete_holder<Managed>;
  return &holder->managed;
}

}  // namespace

DLDevice exported_device(int device_id) {
#if defined(QM_BACKEND_CUDA)
  return DLDevice{kDLCUDA, device_id};
#else
  (void)device_id;
  return DLDevice{kDLCPU, 0};
#endif
}

DLDataType exported_dtype(int is_double) {
  return DLDataType{static_cast<uint8_t>(kDLComplex), static_cast<uint8_t>(is_double ? 128 : 64), 1};
}

size_t exported_bytes(const ExportedBuffer& buffer) {
  size_t count = 1;
  for (int64_t extent : buffer.shape) count *= static_cast<size_t>(extent);
  return count * (buffer.is_double ? 16 : 8);
}

ExportedBuffer copy_exported(const ExportedBuffer& buffer) {
  const size_t bytes = exported_bytes(buffer);
  auto storage = std::make_shared<DeviceBuffer<unsigned char>>(bytes, buffer.device_id);
  check_cuda(cudaMemcpy(storage->get(), buffer.data, bytes, cudaMemcpyDeviceToDevice));
  ExportedBuffer out = buffer;
  out.data = storage->get();
  out.owner = std::move(storage);
  return out;
}

void hand_over_to_stream(int device_id, bool has_stream, int64_t stream) {
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(device_id));
#if defined(QM_BACKEND_CUDA)
  // Our kernels and copies go to the legacy default stream; a consumer on that
  // stream, or one that asked for no synchronisation, is already ordered.
  if (!has_stream || stream == 1 || stream == -1) return;
  cudaStream_t consumer = stream == 2 ? cudaStreamPerThread : reinterpret_cast<cudaStream_t>(stream);
  cudaEvent_t ready = nullptr;
  check_cuda(cudaEventCreateWithFlags(&ready, cudaEventDisableTiming));
  cudaError_t status = cudaEventRecord(ready, cudaStreamLegacy);
  if (status == cudaSuccess) status = cudaStreamWaitEvent(consumer, ready, 0);
  cudaEventDestroy(ready);
  check_cuda(status);
#else
  (void)has_stream;
  (void)stream;
  // The consumer reads host memory directly: nothing may still be queued.
  check_cuda(cudaDeviceSynchronize());
#endif
}

DLManagedTensor* make_managed_tensor(ExportedBuffer buffer) { return make_holder<DLManagedTensor>(std::move(buffer)); }

DLManagedTensorVersioned* make_managed_tensor_versioned(ExportedBuffer buffer, uint64_t flags) {
  DLManagedTensorVersioned* managed = make_holder<DLManagedTensorVersioned>(std::move(buffer));
  managed->version = DLPackVersion{DLPACK_MAJOR_VERSION, DLPACK_MINOR_VERSION};
  managed->flags = flags;
  return managed;
}

std::string dtype_name(DLDataType dtype) {
  const std::string bits = std::to_string(dtype.bits);
  std::string name;
  switch (dtype.code) {
    case kDLInt: name = "int" + bits; break;
    case kDLUInt: name = "uint" + bits; break;
    case kDLFloat: name = "float" + bits; break;
    case kDLBfloat: name = "bfloat" + bits; break;
    case kDLComplex: name = "complex" + bits; break;
    case kDLBool: name = "bool"; break;
    default: name = "dlpack type code " + std::to_string(dtype.code) + " of " + bits + " bits";
  }
  if (dtype.lanes != 1) name += " x" + std::to_string(dtype.lanes);
  return name;
}

bool is_c_contiguous(const DLTensor& tensor) {
  if (tensor.strides == nullptr) return true;
  int64_t expected = 1;
  for (int32_t axis = tensor.ndim - 1; axis >= 0; --axis) {
    const int64_t extent = tensor.shape[axis];
    if (extent == 0) return true;
    if (extent != 1 && tensor.strides[axis] != expected) return false;
    expected *= extent;
  }
  return true;
}

void copy_from_tensor(void* dst, int dst_device, const DLTensor& src, size_t bytes) {
  const void* from = static_cast<const char*>(src.data) + src.byte_offset;
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(dst_device));
  switch (src.device.device_type) {
    case kDLCPU: check_cuda(cudaMemcpy(dst, from, bytes, cudaMemcpyHostToDevice)); return;
#if defined(QM_BACKEND_CUDA)
    case kDLCUDA:
      if (src.device.device_id == dst_device) {
        check_cuda(cudaMemcpy(dst, from, bytes, cudaMemcpyDeviceToDevice));
      } else {
        check_cuda(cudaMemcpyPeer(dst, dst_device, from, src.device.device_id, bytes));
      }
      // The producer may free or reuse its memory once the deleter has run.
      check_cuda(cudaStreamSynchronize(cudaStreamLegacy));
      return;
    case kDLCUDAHost:
    case kDLCUDAManaged:
      // Unified addressing tells the runtime where these pointers live.
      check_cuda(cudaMemcpy(dst, from, bytes, cudaMemcpyDefault));
      check_cuda(cudaStreamSynchronize(cudaStreamLegacy));
      return;
#endif
    default:
      throw std::invalid_argument("array memory is not readable by the " QM_BACKEND_NAME
                                  " backend (DLPack device type " +
                                  std::to_string(static_cast<int>(src.device.device_type)) + ")");
  }
}

}  // namespace quillmarch
