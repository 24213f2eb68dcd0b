// DLPack export and import of device buffers, independent of Python: building
// managed tensors that keep a buffer alive, the stream hand-over a consumer
// asks for, and the device-side copy of a foreign tensor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/dlpack.h"

namespace quillmarch {

// A state's buffer as one tensor, and what keeps it alive (the state itself).
struct ExportedBuffer {
  std::shared_ptr<void> owner;
  void* data = nullptr;
  std::vector<int64_t> shape;
  int is_double = 0;
  int device_id = 0;
};

// Where a state's device memory lives as DLPack sees it: CUDA with the ordinal
// on the cuda backend, the CPU on the host backend, whose device memory is host
// memory.
DLDevice exported_device(int device_id);

// complex64 or complex128.
DLDataType exported_dtype(int is_double);

size_t exported_bytes(const ExportedBuffer& buffer);

// The consumer's max_version major decides the form: 1 and above get the
// versioned tensor, 0 the legacy one.
inline bool wants_versioned(int64_t max_major) { return max_major >= 1; }

// An independent device copy of `buffer`, owning its own allocation.
ExportedBuffer copy_exported(const ExportedBuffer& buffer);

// Orders the consumer's `stream` (DLPack numbering: 1 legacy default, 2
// per-thread default, other values a stream handle, -1 no synchronisation)
// after the work queued on the state's device. On the host backend the consumer
// is the CPU, so all queued device work is waited for.
void hand_over_to_stream(int device_id, bool has_stream, int64_t stream);

// Managed tensors whose manager context holds `buffer.owner` until the
// consumer calls the deleter.
DLManagedTensor* make_managed_tensor(ExportedBuffer buffer);
DLManagedTensorVersioned* make_managed_tensor_versioned(ExportedBuffer buffer, uint64_t flags);

// NumPy's name of a DLPack element type ("float64", "complex64", "bool", ...),
// so that dtype messages read as for NumPy arrays.
std::string dtype_name(DLDataType dtype);

// True when `tensor` is row-major and compact (axes of length 1 may carry any
// stride, as in NumPy).
bool is_c_contiguous(const DLTensor& tensor);

// Copies `bytes` from a foreign tensor into device memory `dst` on
// `dst_device`: host-to-device from CPU memory, device-to-device (or across
// devices) from CUDA memory. Throws std::invalid_argument for a device this
// backend cannot read from and "CUDA error: ..." for a failed copy.
void copy_from_tensor(void* dst, int dst_device, const DLTensor& src, size_t bytes);

}  // namespace quillmarch
