// What both state classes are underneath: one device buffer of complex values
// in a precision fixed for its life, the whole-buffer copies to and from the
// host, the zeroing to basis state 0 and the device-side copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/cu_complex.h"
#include "common/device_buffer.h"
#include "common/parsers.h"

namespace quillmarch {

// The values are the precision flags the dtype parser returns.
enum class Precision : int { Complex64 = 0, Complex128 = 1 };

inline Precision precision_from_flag(int is_double) {
  return is_double != 0 ? Precision::Complex128 : Precision::Complex64;
}
inline int precision_flag(Precision precision) { return precision == Precision::Complex128 ? 1 : 0; }
// The precision a dtype text names; the dtype parser's message otherwise.
inline Precision parse_precision(const std::string& text) { return precision_from_flag(parse_dtype(text)); }
inline size_t element_bytes(Precision precision) { return precision == Precision::Complex128 ? 16 : 8; }
inline const char* dtype_name(Precision precision) {
  return precision == Precision::Complex128 ? "complex128" : "complex64";
}

// State vectors hold 2**n amplitudes for n in [1, kMaxStateQubits].
constexpr int64_t kMaxStateQubits = 62;
constexpr const char* kStateQubitsMessage = "n must be in [1, 62]";

// Subtracting in unsigned: n - 1 overflows for the most negative n.
inline bool state_qubits_valid(int64_t n) {
  return static_cast<uint64_t>(n) - 1 <= static_cast<uint64_t>(kMaxStateQubits) - 1;
}
inline void check_state_qubits(int64_t n) {
  if (!state_qubits_valid(n)) throw std::invalid_argument(kStateQubitsMessage);
}

class StateCore {
 public:
  StateCore() = default;
  // Selects `device_id` and allocates `elements` values; contents undefined.
  // `size_message` is the caller's text for a host copy of the wrong length.
  StateCore(uint64_t elements, Precision precision, int device_id, const char* size_message);

  // Whole-buffer copies; `pin` page-locks the caller's range for the copy.
  void upload(const void* host, uint64_t count, bool pin);
  void download(void* host, uint64_t count, bool pin) const;
  // All zero but element 0, which is 1.
  void set_basis_zero();
  // Overwrites this buffer with `source`'s, which must have the same size.
  void copy_from(const StateCore& source);

  Precision precision() const { return precision_; }
  int device_id() const { return buffer_.device(); }
  uint64_t elements() const { return elements_; }
  size_t element_size() const { return element_bytes(precision_); }
  size_t bytes() const { return buffer_.bytes(); }
  // Null once the core has been moved from.
  void* data() const { return buffer_.get(); }

 private:
  Precision precision_ = Precision::Complex64;
  uint64_t elements_ = 0;
  const char* size_message_ = "";
  DeviceBuffer<unsigned char> buffer_;
};

// Calls `f` with the core's buffer as CuComplex<float>* or CuComplex<double>*,
// whichever its precision is; both instantiations must return the same type.
template <typename F>
decltype(auto) with_precision(const StateCore& core, F&& f) {
  if (core.precision() == Precision::Complex128) return f(static_cast<CuComplex<double>*>(core.data()));
  return f(static_cast<CuComplex<float>*>(core.data()));
}

// The same for any state object built on a core.
template <typename State, typename F>
decltype(auto) with_precision(const State& state, F&& f) {
  return with_precision(state.core(), std::forward<F>(f));
}

// Copies a whole host range to or from the device, optionally page-locking the
// caller's range for the copy. A range that cannot be registered is copied
// unpinned; that is not an error.
void copy_with_optional_pinning(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, void* host_range,
                                bool use_pinned_host);

}  // namespace quillmarch
