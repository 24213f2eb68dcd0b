// The DLPack tensor exchange ABI (versions 0.x legacy and 1.x), declared here
// so that the modules need no third-party header. Layouts are fixed by the
// standard; do not reorder members.
#pragma once

#include <cstdint>

extern "C" {

#define DLPACK_MAJOR_VERSION 1
#define DLPACK_MINOR_VERSION 0

// Bits of DLManagedTensorVersioned::flags.
#define DLPACK_FLAG_BITMASK_READ_ONLY (UINT64_C(1) << 0)
#define DLPACK_FLAG_BITMASK_IS_COPIED (UINT64_C(1) << 1)

typedef struct {
  uint32_t major;
  uint32_t minor;
} DLPackVersion;

typedef enum {
  kDLCPU = 1,
  kDLCUDA = 2,
  kDLCUDAHost = 3,
  kDLOpenCL = 4,
  kDLVulkan = 7,
  kDLMetal = 8,
  kDLVPI = 9,
  kDLROCM = 10,
  kDLROCMHost = 11,
  kDLExtDev = 12,
  kDLCUDAManaged = 13,
  kDLOneAPI = 14,
  kDLWebGPU = 15,
  kDLHexagon = 16,
} DLDeviceType;

typedef struct {
  DLDeviceType device_type;
  int32_t device_id;
} DLDevice;

typedef enum {
  kDLInt = 0U,
  kDLUInt = 1U,
  kDLFloat = 2U,
  kDLOpaqueHandle = 3U,
  kDLBfloat = 4U,
  kDLComplex = 5U,
  kDLBool = 6U,
} DLDataTypeCode;

typedef struct {
  uint8_t code;
  uint8_t bits;
  uint16_t lanes;
} DLDataType;

typedef struct {
  void* data;
  DLDevice device;
  int32_t ndim;
  DLDataType dtype;
  int64_t* shape;
  int64_t* strides;  // in elements; NULL means compact row-major
  uint64_t byte_offset;
} DLTensor;

// Legacy form, in a capsule named "dltensor" ("used_dltensor" once consumed).
typedef struct DLManagedTensor {
  DLTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(struct DLManagedTensor* self);
} DLManagedTensor;

// Versioned form, in a capsule named "dltensor_versioned".
typedef struct DLManagedTensorVersioned {
  DLPackVersion version;
  void* manager_ctx;
  void (*deleter)(struct DLManagedTensorVersioned* self);
  uint64_t flags;
  DLTensor dl_tensor;
} DLManagedTensorVersioned;

}  // extern "C"
