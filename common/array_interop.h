// The Python side of array interchange shared by both modules: the DLPack
// methods' arguments and capsules, __cuda_array_interface__, and the capsule a
// foreign array hands to from_dlpack.
#pragma once

#include "common/py_guard.h"

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include "common/dlpack_tensor.h"

namespace quillmarch {

using DLPackVersionArg = pybind11::typing::Optional<pybind11::typing::Tuple<int, int>>;
using DLPackDeviceArg = pybind11::typing::Optional<pybind11::typing::Tuple<int, int>>;
using DLPackStreamArg = pybind11::typing::Optional<pybind11::int_>;
using DLPackCopyArg = pybind11::typing::Optional<pybind11::bool_>;

// (device type, device id) of a state on `device_id`.
pybind11::typing::Tuple<int, int> dlpack_device(int device_id);

// __dlpack__: a capsule over `buffer` (or over a copy of it when `copy` is
// True), versioned when the consumer's max_version allows; BufferError for a
// bad request or a buffer that is gone.
pybind11::object dlpack_capsule(ExportedBuffer buffer, const pybind11::object& stream,
                                const pybind11::object& max_version, const pybind11::object& dl_device,
                                const pybind11::object& copy);

// __cuda_array_interface__ version 3 of `buffer`, ready on the legacy default
// stream.
pybind11::dict cuda_array_interface(const ExportedBuffer& buffer);

// A tensor taken from a foreign producer's capsule; gives it back (calls its
// deleter) when destroyed. Destroy it with the interpreter lock held.
class ImportedTensor {
 public:
  // Calls array.__dlpack__, asking for a versioned capsule and falling back to
  // the legacy form for producers that do not take max_version.
  explicit ImportedTensor(const pybind11::object& array);
  ImportedTensor(const ImportedTensor&) = delete;
  ImportedTensor& operator=(const ImportedTensor&) = delete;
  ~ImportedTensor();

  const DLTensor& tensor() const;
  bool read_only() const;
  int64_t size() const;

 private:
  DLManagedTensor* legacy_ = nullptr;
  DLManagedTensorVersioned* versioned_ = nullptr;
};

}  // namespace quillmarch
