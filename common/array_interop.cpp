#include "common/array_interop.h"

#include <string>
#include <utility>

namespace py = pybind11;

namespace quillmarch {

namespace {

constexpr const char* kLegacyName = "dltensor";
constexpr const char* kVersionedName = "dltensor_versioned";
constexpr const char* kUsedLegacyName = "used_dltensor";
constexpr const char* kUsedVersionedName = "used_dltensor_versioned";

// A capsule nobody consumed still owns its tensor; a consumed one was renamed
// and belongs to the consumer.
void free_unconsumed_legacy(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kLegacyName)) return;
  auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, kLegacyName));
  if (managed->deleter != nullptr) managed->deleter(managed);
}

void free_unconsumed_versioned(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kVersionedName)) return;
  auto* managed = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, kVersionedName));
  if (managed->deleter != nullptr) managed->deleter(managed);
}

template <typename Managed>
py::object wrap(Managed* managed, const char* name, PyCapsule_Destructor destructor) {
  PyObject* capsule = PyCapsule_New(managed, name, destructor);
  if (capsule == nullptr) {
    managed->deleter(managed);
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(capsule);
}

// A (first, second) pair of integers, or false when `value` is not one.
bool int_pair(const py::object& value, int64_t& first, int64_t& second) {
  if (!py::isinstance<py::tuple>(value) && !py::isinstance<py::list>(value)) return false;
  py::sequence items = value;
  if (items.size() != 2 || !py::isinstance<py::int_>(items[0]) || !py::isinstance<py::int_>(items[1])) return false;
  try {
    first = items[0].cast<int64_t>();
    second = items[1].cast<int64_t>();
  } catch (const py::cast_error&) {
    return false;
  }
  return true;
}

std::string device_text(int64_t type, int64_t id) {
  return "(" + std::to_string(type) + ", " + std::to_string(id) + ")";
}

}  // namespace

py::typing::Tuple<int, int> dlpack_device(int device_id) {
  const DLDevice device = exported_device(device_id);
  return py::make_tuple(static_cast<int>(device.device_type), static_cast<int>(device.device_id));
}

py::object dlpack_capsule(ExportedBuffer buffer, const py::object& stream, const py::object& max_version,
                          const py::object& dl_device, const py::object& copy) {
  if (buffer.data == nullptr) throw py::buffer_error("the state has no device buffer to export");

  bool versioned = false;
  if (!max_version.is_none()) {
    int64_t major = 0, minor = 0;
    if (!int_pair(max_version, major, minor) || major < 0 || minor < 0)
      throw py::buffer_error("max_version must be None or a (major, minor) pair of non-negative integers");
    versioned = wants_versioned(major);
  }

  const DLDevice own = exported_device(buffer.device_id);
  if (!dl_device.is_none()) {
    int64_t type = 0, id = 0;
    if (!int_pair(dl_device, type, id))
      throw py::buffer_error("dl_device must be None or a (device_type, device_id) pair of integers");
    if (type != own.device_type || id != own.device_id)
      throw py::buffer_error("dl_device " + device_text(type, id) + " is not the state's device " +
                             device_text(own.device_type, own.device_id) +
                             "; export on another device is not supported");
  }

  bool has_stream = false;
  int64_t stream_value = 0;
  if (!stream.is_none()) {
    if (!py::isinstance<py::int_>(stream)) throw py::buffer_error("stream must be None or an integer");
    if (own.device_type == kDLCPU) throw py::buffer_error("stream must be None for a state in host memory");
    stream_value = stream.cast<int64_t>();
    if (stream_value == 0 || stream_value < -1)
      throw py::buffer_error("stream must be -1, 1, 2 or a CUDA stream handle, got " + std::to_string(stream_value));
    has_stream = true;
  }

  bool make_copy = false;
  if (!copy.is_none()) {
    if (!py::isinstance<py::bool_>(copy)) throw py::buffer_error("copy must be None, True or False");
    make_copy = copy.cast<bool>();
  }

  pyguard::without_gil([&] {
    if (make_copy) buffer = copy_exported(buffer);
    hand_over_to_stream(buffer.device_id, has_stream, stream_value);
  });
  if (versioned) {
    const uint64_t flags = make_copy ? DLPACK_FLAG_BITMASK_IS_COPIED : 0;
    return wrap(make_managed_tensor_versioned(std::move(buffer), flags), kVersionedName, &free_unconsumed_versioned);
  }
  return wrap(make_managed_tensor(std::move(buffer)), kLegacyName, &free_unconsumed_legacy);
}

py::dict cuda_array_interface(const ExportedBuffer& buffer) {
  if (buffer.data == nullptr) throw py::attribute_error("the state has no device buffer");
  py::tuple shape(buffer.shape.size());
  for (size_t i = 0; i < buffer.shape.size(); ++i) shape[i] = py::int_(buffer.shape[i]);
  py::dict out;
  out["shape"] = shape;
  out["typestr"] = buffer.is_double ? "<c16" : "<c8";
  out["data"] = py::make_tuple(py::int_(reinterpret_cast<uintptr_t>(buffer.data)), false);
  out["version"] = 3;
  out["strides"] = py::none();
  py::list descr;
  descr.append(py::make_tuple("", buffer.is_double ? "<c16" : "<c8"));
  out["descr"] = descr;
  // Work on the state is queued on the legacy default stream.
  out["stream"] = 1;
  return out;
}

ImportedTensor::ImportedTensor(const py::object& array) {
  if (!py::hasattr(array, "__dlpack__"))
    throw py::type_error("array must support the DLPack protocol (__dlpack__), got " +
                         std::string(py::str(py::type::of(array).attr("__name__"))));
  py::object stream = py::none();
#if defined(QM_BACKEND_CUDA)
  // Our copy runs on the legacy default stream; the producer orders its work before it.
  if (py::hasattr(array, "__dlpack_device__")) {
    py::tuple device = array.attr("__dlpack_device__")();
    const int type = device.size() == 2 ? device[0].cast<int>() : 0;
    if (type == kDLCUDA || type == kDLCUDAManaged) stream = py::int_(1);
  }
#endif
  py::object capsule;
  try {
    capsule = array.attr("__dlpack__")(py::arg("stream") = stream, py::arg("max_version") = py::make_tuple(
                                                                       DLPACK_MAJOR_VERSION, DLPACK_MINOR_VERSION));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    capsule = array.attr("__dlpack__")(py::arg("stream") = stream);
  }
  PyObject* raw = capsule.ptr();
  if (PyCapsule_IsValid(raw, kVersionedName)) {
    versioned_ = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(raw, kVersionedName));
    if (PyCapsule_SetName(raw, kUsedVersionedName) != 0) {
      versioned_ = nullptr;
      throw py::error_already_set();
    }
    if (versioned_->version.major != DLPACK_MAJOR_VERSION) {
      // The destructor does not run for a failed constructor; give the tensor back here.
      const std::string major = std::to_string(versioned_->version.major);
      if (versioned_->deleter != nullptr) versioned_->deleter(versioned_);
      versioned_ = nullptr;
      throw py::buffer_error("array's DLPack version " + major + " is newer than the supported version 1");
    }
  } else if (PyCapsule_IsValid(raw, kLegacyName)) {
    legacy_ = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(raw, kLegacyName));
    if (PyCapsule_SetName(raw, kUsedLegacyName) != 0) {
      legacy_ = nullptr;
      throw py::error_already_set();
    }
  } else {
    throw py::type_error("array.__dlpack__() did not return a DLPack capsule");
  }
}

ImportedTensor::~ImportedTensor() {
  if (versioned_ != nullptr && versioned_->deleter != nullptr) versioned_->deleter(versioned_);
  if (legacy_ != nullptr && legacy_->deleter != nullptr) legacy_->deleter(legacy_);
}

const DLTensor& ImportedTensor::tensor() const {
  return versioned_ != nullptr ? versioned_->dl_tensor : legacy_->dl_tensor;
}

bool ImportedTensor::read_only() const {
  return versioned_ != nullptr && (versioned_->flags & DLPACK_FLAG_BITMASK_READ_ONLY) != 0;
}

int64_t ImportedTensor::size() const {
  const DLTensor& t = tensor();
  int64_t count = 1;
  for (int32_t axis = 0; axis < t.ndim; ++axis) count *= t.shape[axis];
  return count;
}

}  // namespace quillmarch
