// The Python protocols both state classes share: DLPack export, the CUDA array
// interface, copies, and pickling through a module-level rebuild function.
// A binding unit describes its class in a traits struct:
//   using State;                        the class, held by std::shared_ptr
//   module, rebuild, rebuild_doc        the module and its rebuild function
//   array_arg                           the rebuild function's array argument
//   dlpack_doc                          the __dlpack__ docstring
//   shape(state)                        the host array's shape
//   qubits(state)                       the qubit count a pickle records
//   check_pickled(n, dtype, array)      refuses an array that is not of dtype
//   from_numpy(n, array, device)        builds a state from a host array
#pragma once

#include "common/py_guard.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/array_interop.h"
#include "common/state_core.h"

namespace quillmarch {

template <typename Traits>
ExportedBuffer exported_state(const std::shared_ptr<typename Traits::State>& s) {
  return {s, s->core().data(), Traits::shape(*s), precision_flag(s->core().precision()), s->device_id};
}

// An independent state on the same device.
template <typename State>
std::shared_ptr<State> copy_state(const State& s) {
  refresh_runtime_settings();
  return std::make_shared<State>(s.copy());
}

// A pickle holds the rebuild function with n, precision, device and the
// downloaded values.
template <typename Traits>
pybind11::tuple reduce_state(const typename Traits::State& s) {
  pybind11::module_ module = pybind11::module_::import(Traits::module);
  const std::vector<int64_t> shape = Traits::shape(s);
  pybind11::array values(pybind11::dtype(s.dtype_name()), std::vector<pybind11::ssize_t>(shape.begin(), shape.end()));
  void* data = values.mutable_data();
  const StateCore& core = s.core();
  pyguard::without_gil([&] { core.download(data, core.elements(), false); });
  return pybind11::make_tuple(
      module.attr(Traits::rebuild),
      pybind11::make_tuple(Traits::qubits(s), s.dtype_name(), "cuda:" + std::to_string(s.device_id), values));
}

template <typename Traits>
std::shared_ptr<typename Traits::State> rebuild_state(int64_t n, const std::string& dtype, const std::string& device,
                                                      pybind11::array values) {
  Traits::check_pickled(n, dtype, values);
  return Traits::from_numpy(n, std::move(values), device);
}

template <typename Traits>
void def_state_protocols(pybind11::class_<typename Traits::State, std::shared_ptr<typename Traits::State>>& cls) {
  namespace py = pybind11;
  using State = typename Traits::State;
  cls.def(
         "__dlpack__",
         [](const std::shared_ptr<State>& s, const DLPackStreamArg& stream, const DLPackVersionArg& max_version,
            const DLPackDeviceArg& dl_device, const DLPackCopyArg& copy) {
           return dlpack_capsule(exported_state<Traits>(s), stream, max_version, dl_device, copy);
         },
         Traits::dlpack_doc, py::kw_only(), py::arg("stream") = py::none(), py::arg("max_version") = py::none(),
         py::arg("dl_device") = py::none(), py::arg("copy") = py::none())
      .def("__dlpack_device__", [](const State& s) { return dlpack_device(s.device_id); })
#if defined(QM_BACKEND_CUDA)
      .def_property_readonly(
          "__cuda_array_interface__",
          [](const std::shared_ptr<State>& s) { return cuda_array_interface(exported_state<Traits>(s)); })
#endif
      .def("__reduce__", &reduce_state<Traits>)
      .def("__copy__", &copy_state<State>)
      .def("__deepcopy__", [](const State& s, const py::object&) { return copy_state(s); }, py::arg("memo"));
}

template <typename Traits>
void def_rebuild(pybind11::module_& m) {
  namespace py = pybind11;
  m.def(Traits::rebuild, &rebuild_state<Traits>, Traits::rebuild_doc, py::arg("n"), py::arg("dtype"), py::arg("device"),
        py::arg(Traits::array_arg).noconvert());
}

}  // namespace quillmarch
