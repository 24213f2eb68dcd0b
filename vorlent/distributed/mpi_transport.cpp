#include "vorlent/distributed/mpi_transport.h"

#include <dlfcn.h>

#include <string>

namespace py = pybind11;
using namespace pybind11::literals;

namespace vorlent {
namespace distributed {

const char* const kMpiInstallHint = "DistributedState needs mpi4py: pip install mpi4py mpich, or pip install .[mpi]";

py::object import_mpi() {
  try {
    return py::module_::import("mpi4py.MPI");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  throw py::import_error(kMpiInstallHint);
}

namespace {

constexpr int kTag = 0x5157;

py::memoryview view(const void* data, size_t bytes) {
  return py::memoryview::from_memory(data, static_cast<py::ssize_t>(bytes));
}

py::memoryview view(void* data, size_t bytes) {
  return py::memoryview::from_memory(data, static_cast<py::ssize_t>(bytes), false);
}

}  // namespace

MpiTransport::MpiTransport(const py::object& comm) : mpi_(import_mpi()) {
  comm_ = comm.is_none() ? mpi_.attr("COMM_WORLD") : comm;
  rank_ = comm_.attr("Get_rank")().cast<int>();
  size_ = comm_.attr("Get_size")().cast<int>();
}

MpiTransport::~MpiTransport() {
  // A state may outlive the interpreter's last moments; its references then leak.
  if (Py_IsInitialized() == 0 || quillmarch::pyguard::interpreter_finalizing()) {
    mpi_.release();
    comm_.release();
    return;
  }
  py::gil_scoped_acquire hold;
  comm_ = py::object();
  mpi_ = py::object();
}

void MpiTransport::sendrecv(const void* send, void* recv, size_t bytes, int partner) {
  if (bytes == 0) return;
  py::gil_scoped_acquire hold;
  const py::object byte = mpi_.attr("BYTE");
  comm_.attr("Sendrecv")(py::make_tuple(view(send, bytes), byte), "dest"_a = partner, "sendtag"_a = kTag,
                         "recvbuf"_a = py::make_tuple(view(recv, bytes), byte), "source"_a = partner,
                         "recvtag"_a = kTag);
}

void MpiTransport::send(const void* data, size_t bytes, int dest) {
  if (bytes == 0) return;
  py::gil_scoped_acquire hold;
  comm_.attr("Send")(py::make_tuple(view(data, bytes), mpi_.attr("BYTE")), "dest"_a = dest, "tag"_a = kTag);
}

void MpiTransport::recv(void* data, size_t bytes, int source) {
  if (bytes == 0) return;
  py::gil_scoped_acquire hold;
  comm_.attr("Recv")(py::make_tuple(view(data, bytes), mpi_.attr("BYTE")), "source"_a = source, "tag"_a = kTag);
}

void MpiTransport::bcast(void* data, size_t bytes, int root) {
  if (bytes == 0) return;
  py::gil_scoped_acquire hold;
  comm_.attr("Bcast")(py::make_tuple(view(data, bytes), mpi_.attr("BYTE")), "root"_a = root);
}

void MpiTransport::allreduce_sum(double* data, size_t count) {
  if (count == 0) return;
  py::gil_scoped_acquire hold;
  comm_.attr("Allreduce")(mpi_.attr("IN_PLACE"),
                          py::make_tuple(view(data, count * sizeof(double)), mpi_.attr("DOUBLE")),
                          "op"_a = mpi_.attr("SUM"));
}

std::vector<std::string> MpiTransport::allgather(const std::string& text) {
  py::gil_scoped_acquire hold;
  const py::list all = comm_.attr("allgather")(py::bytes(text));
  std::vector<std::string> out;
  out.reserve(all.size());
  for (const py::handle item : all) out.push_back(item.cast<std::string>());
  return out;
}

bool MpiTransport::interrupted() {
  py::gil_scoped_acquire hold;
  if (PyErr_CheckSignals() == 0) return false;
  PyErr_Clear();
  return true;
}

int MpiTransport::node_rank() {
  py::gil_scoped_acquire hold;
  py::object node = comm_.attr("Split_type")(mpi_.attr("COMM_TYPE_SHARED"));
  const int r = node.attr("Get_rank")().cast<int>();
  node.attr("Free")();
  return r;
}

bool MpiTransport::library_cuda_aware() {
  py::gil_scoped_acquire hold;
  const std::string path = py::str(mpi_.attr("__file__"));
  // mpi4py's extension links the MPI library; a lookup through its handle
  // searches what it links. Nothing is loaded that is not loaded already.
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  using Query = int (*)();
  const auto query = reinterpret_cast<Query>(dlsym(handle, "MPIX_Query_cuda_support"));
  const bool aware = query != nullptr && query() == 1;
  dlclose(handle);
  return aware;
}

}  // namespace distributed
}  // namespace vorlent
