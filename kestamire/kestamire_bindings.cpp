#include <pybind11/pybind11.h>

PYBIND11_MODULE(kestamire, m) {
  m.doc() = "CUDA dense density-matrix backend for quillmarch";
  m.attr("backend") = QM_BACKEND_NAME;
}
