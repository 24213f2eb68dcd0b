// Host launchers of every gate family, one overload per precision. Each builds
// the control masks, checks the gate's qubits, picks the kernel for `mode`,
// enqueues it on `stream` and reports a launch failure with its own prefix.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "vorlent/gate_record.h"

namespace vorlent {

using quillmarch::CuComplex;
using Qubits = std::vector<int64_t>;

#define VORLENT_FIXED_LAUNCHER(name)                                                                        \
  void name(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,  \
            cudaStream_t stream, KernelMode mode);                                                          \
  void name(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state, \
            cudaStream_t stream, KernelMode mode);
VORLENT_FIXED_LAUNCHER(cu_x)
VORLENT_FIXED_LAUNCHER(cu_y)
VORLENT_FIXED_LAUNCHER(cu_z)
VORLENT_FIXED_LAUNCHER(cu_h)
VORLENT_FIXED_LAUNCHER(cu_s)
VORLENT_FIXED_LAUNCHER(cu_sdag)
VORLENT_FIXED_LAUNCHER(cu_sqrtx)
VORLENT_FIXED_LAUNCHER(cu_sqrtxdag)
VORLENT_FIXED_LAUNCHER(cu_sqrty)
VORLENT_FIXED_LAUNCHER(cu_sqrtydag)
#undef VORLENT_FIXED_LAUNCHER

#define VORLENT_ANGLE_LAUNCHER(name)                                                                        \
  void name(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,  \
            cudaStream_t stream, float theta, KernelMode mode);                                             \
  void name(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state, \
            cudaStream_t stream, double theta, KernelMode mode);
VORLENT_ANGLE_LAUNCHER(cu_rx)
VORLENT_ANGLE_LAUNCHER(cu_ry)
VORLENT_ANGLE_LAUNCHER(cu_rz)
VORLENT_ANGLE_LAUNCHER(cu_phase)
#undef VORLENT_ANGLE_LAUNCHER

void cu_u(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, float theta, float phi, float lambda, KernelMode mode);
void cu_u(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, double theta, double phi, double lambda, KernelMode mode);

void cu_swap(uint64_t n, CuComplex<float>* state, int a, int b, Qubits controls, const Qubits& control_state,
             cudaStream_t stream, KernelMode mode);
void cu_swap(uint64_t n, CuComplex<double>* state, int a, int b, Qubits controls, const Qubits& control_state,
             cudaStream_t stream, KernelMode mode);

void cu_global_phase(uint64_t n, CuComplex<float>* state, Qubits controls, const Qubits& control_state,
                     cudaStream_t stream, KernelMode mode, float theta);
void cu_global_phase(uint64_t n, CuComplex<double>* state, Qubits controls, const Qubits& control_state,
                     cudaStream_t stream, KernelMode mode, double theta);

void cu_unitary(uint64_t n, CuComplex<float>* state, const Qubits& targets, Qubits controls,
                const Qubits& control_state, const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                cudaStream_t stream, KernelMode mode);
void cu_unitary(uint64_t n, CuComplex<double>* state, const Qubits& targets, Qubits controls,
                const Qubits& control_state, const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                cudaStream_t stream, KernelMode mode);

}  // namespace vorlent
