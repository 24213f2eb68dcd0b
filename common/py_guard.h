// Binding-side guards shared by both modules: strict integer conversion, lock
// release that survives interpreter shutdown, sealed classes, and readers for
// caller sequences that do not trust what the sequence says about itself.
// Every binding unit includes this before any conversion is instantiated, so
// all units of a module agree on the integer casters.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/parsers.h"

// A thread that Python ends (pthread_exit) unwinds with a special exception
// that must pass through every catch-all.
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define QM_RETHROW_THREAD_EXIT    \
  catch (abi::__forced_unwind&) { \
    throw;                        \
  }
#else
#define QM_RETHROW_THREAD_EXIT
#endif

namespace quillmarch {
namespace pyguard {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Only true integers and objects with __index__ convert: the library's default
// would truncate numpy floats, Decimal and Fraction through int().
template <typename T>
bool load_index(pybind11::handle src, T& out) {
  if (!src || PyFloat_Check(src.ptr()) || !PyIndex_Check(src.ptr())) return false;
  pybind11::object index = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Index(src.ptr()));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  if (std::is_unsigned<T>::value) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
    if (PyErr_Occurred() != nullptr || v > static_cast<unsigned long long>(std::numeric_limits<T>::max())) {
      PyErr_Clear();
      return false;
    }
    out = static_cast<T>(v);
  } else {
    const long long v = PyLong_AsLongLong(index.ptr());
    if (PyErr_Occurred() != nullptr || v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        v > static_cast<long long>(std::numeric_limits<T>::max())) {
      PyErr_Clear();
      return false;
    }
    out = static_cast<T>(v);
  }
  return true;
}

template <typename T>
class StrictIntCaster {
 public:
  PYBIND11_TYPE_CASTER(T, pybind11::detail::io_name("typing.SupportsIndex", "int"));
  bool load(pybind11::handle src, bool) { return load_index(src, value); }
  static pybind11::handle cast(T src, pybind11::return_value_policy, pybind11::handle) {
    return std::is_unsigned<T>::value ? PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(src))
                                      : PyLong_FromLongLong(static_cast<long long>(src));
  }
};

// Runs `body` with the interpreter lock released and takes it back on a plain
// path, never in a destructor: a thread that finds the interpreter shutting
// down parks instead of being torn out of a noexcept frame. The emulation's
// switches are read first, while the lock still keeps the environment stable;
// the caller's current device is the same afterwards.
template <typename Body>
auto without_gil(Body&& body) -> decltype(body()) {
  refresh_runtime_settings();
  const DeviceGuard keep;
  PyThreadState* saved = PyEval_SaveThread();
  std::exception_ptr error;
  using Result = decltype(body());
  if constexpr (std::is_void<Result>::value) {
    try {
      body();
    }
    QM_RETHROW_THREAD_EXIT catch (...) { error = std::current_exception(); }
    while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));
    PyEval_RestoreThread(saved);
    if (error) std::rethrow_exception(error);
  } else {
    Result result{};
    try {
      result = body();
    }
    QM_RETHROW_THREAD_EXIT catch (...) { error = std::current_exception(); }
    while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));
    PyEval_RestoreThread(saved);
    if (error) std::rethrow_exception(error);
    return result;
  }
}

// For long host loops in the core, which runs without the lock: takes it
// briefly to let Python handle a pending signal (Ctrl-C), and leaves the core
// with that signal's exception.
inline void check_signals() {
  if (interpreter_finalizing()) return;
  pybind11::gil_scoped_acquire hold;
  if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

// For long loops that hold the lock (parsing a huge list): every few thousand
// items, lets Python handle a pending signal.
inline void poll_signals(size_t item) {
  if ((item & 0xfff) == 0xfff && PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "%s instances cannot be created directly", type->tp_name);
  return nullptr;
}

// The library's common base class aborts the process when asked for an
// instance of a type with no bound class in its ancestry (the base itself, or a
// Python subclass of it): its allocator throws out of a C callback. The base
// allocates through a guard instead, which refuses those types and hands every
// other one to the original allocator.
inline newfunc& unguarded_new() {
  static newfunc original = nullptr;
  return original;
}

inline PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    if (pybind11::detail::all_type_info(type).empty()) return refuse_new(type, args, kwargs);
    return unguarded_new()(type, args, kwargs);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "instance allocation failed");
  }
  return nullptr;
}

// Classes made before the guard copied the original allocator; they take the
// guard too, since cls.__new__(cls) (and so pickling) is refused as unsafe when
// a class's allocator differs from the base's.
inline void guard_subclasses(pybind11::handle type, newfunc original) {
  const pybind11::handle type_type(reinterpret_cast<PyObject*>(&PyType_Type));
  for (pybind11::handle sub : pybind11::list(type_type.attr("__subclasses__")(type))) {
    auto* t = reinterpret_cast<PyTypeObject*>(sub.ptr());
    if (t->tp_new == original) {
      t->tp_new = guarded_new;
      PyType_Modified(t);
    }
    guard_subclasses(sub, original);
  }
}

// The base is shared by every module built against the same library
// internals, so the guard goes in once per interpreter, whichever module is
// imported first, and is recorded in the library's cross-module data.
inline void guard_common_base() {
  const std::string key = "quillmarch.guarded_base_new";
  if (pybind11::get_shared_data(key) != nullptr) return;
  PyObject* base = pybind11::detail::get_internals().instance_base;
  auto* t = reinterpret_cast<PyTypeObject*>(base);
  unguarded_new() = t->tp_new;
  t->tp_new = guarded_new;
  PyType_Modified(t);
  guard_subclasses(base, unguarded_new());
  pybind11::set_shared_data(key, &unguarded_new());
}

// Classes with no Python constructor: refused at creation (also through
// __new__), and no instance may change its class to or from them, so no
// instance of them exists without a constructed native value behind it.
inline void seal_class(pybind11::handle type, bool refuse_creation) {
  guard_common_base();
  auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
  if (refuse_creation) t->tp_new = refuse_new;
  t->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(t);
}

// Enumeration members pickle and copy by name, with every protocol (0 and 1
// would otherwise rebuild a member through the common base), and come back as
// the member itself. An instance of a Python subclass, or one that is no
// member, goes by value through the enumeration's checked constructor.
inline void seal_enum(pybind11::handle type) {
  pybind11::setattr(type, "__reduce__",
                    pybind11::cpp_function(
                        [type](pybind11::handle self) -> pybind11::tuple {
                          const pybind11::handle cls(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
                          pybind11::object name = self.attr("name");
                          if (cls.is(type) && type.attr("__members__").contains(name))
                            return pybind11::make_tuple(pybind11::module_::import("builtins").attr("getattr"),
                                                        pybind11::make_tuple(type, name));
                          return pybind11::make_tuple(
                              cls, pybind11::make_tuple(pybind11::int_(self.cast<pybind11::object>())));
                        },
                        pybind11::name("__reduce__"), pybind11::is_method(type)));
  seal_class(type, false);
}

// Reads a sequence argument (not str or bytes) into a vector. The items are
// read one by one up to the length the sequence reports; that length is never
// used to size memory up front, and a length its items do not bear out is an
// error naming the argument. Returns false for a wrong type (of the sequence or
// of an item) so the caller chooses how to report it.
constexpr Py_ssize_t kMaxSequenceItems = Py_ssize_t{1} << 31;

template <typename T>
bool read_sequence(pybind11::handle src, const char* what, std::vector<T>& out) {
  if (!src || !PySequence_Check(src.ptr()) || PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr())) return false;
  const Py_ssize_t size = PySequence_Size(src.ptr());
  if (size < 0) throw pybind11::error_already_set();
  if (size > kMaxSequenceItems)
    throw pybind11::value_error(std::string(what) + " has too many items (" + std::to_string(size) + ")");
  out.clear();
  out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 4096)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_GetItem(src.ptr(), i);
    if (item == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        throw pybind11::value_error(std::string(what) + " has fewer items than its length (" + std::to_string(size) +
                                    ")");
      }
      throw pybind11::error_already_set();
    }
    pybind11::object held = pybind11::reinterpret_steal<pybind11::object>(item);
    pybind11::detail::make_caster<T> conv;
    if (!conv.load(held, true)) return false;
    out.push_back(pybind11::detail::cast_op<T>(std::move(conv)));
  }
  return true;
}

// `_current_device()`: what the runtime reports as the calling thread's current
// device, so callers (and the tests) can check that no call of the module
// leaves it changed.
inline void def_current_device(pybind11::module_& m) {
  m.def(
      "_current_device",
      [] {
        int device = 0;
        check_cuda(cudaGetDevice(&device));
        return device;
      },
      "The calling thread's current CUDA device as the runtime reports it; calls of this module leave it as they "
      "found it.");
}

}  // namespace pyguard

// A sequence-of-integers argument whose reader knows the argument's name.
template <typename Name>
struct IndexList {
  std::vector<int64_t> values;
};

struct TargetsName {
  static constexpr const char* text = "targets";
};
using Targets = IndexList<TargetsName>;

}  // namespace quillmarch

namespace pybind11 {
namespace detail {

template <>
class type_caster<int> : public quillmarch::pyguard::StrictIntCaster<int> {};
template <>
class type_caster<long> : public quillmarch::pyguard::StrictIntCaster<long> {};
template <>
class type_caster<long long> : public quillmarch::pyguard::StrictIntCaster<long long> {};
template <>
class type_caster<unsigned long> : public quillmarch::pyguard::StrictIntCaster<unsigned long> {};
template <>
class type_caster<unsigned long long> : public quillmarch::pyguard::StrictIntCaster<unsigned long long> {};

template <typename Name>
class type_caster<quillmarch::IndexList<Name>> {
 public:
  PYBIND11_TYPE_CASTER(quillmarch::IndexList<Name>,
                       io_name("collections.abc.Sequence[typing.SupportsIndex]", "list[int]"));
  bool load(handle src, bool) { return quillmarch::pyguard::read_sequence(src, Name::text, value.values); }
  static handle cast(const quillmarch::IndexList<Name>& src, return_value_policy policy, handle parent) {
    return make_caster<std::vector<int64_t>>::cast(src.values, policy, parent);
  }
};

}  // namespace detail
}  // namespace pybind11
