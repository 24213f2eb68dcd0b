// The shared-memory kernel of density fusion: a tile of rho restricted to a
// group's active qubits is loaded once, every operation of the group is
// applied to it in shared memory, and the tile is written back.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"

namespace quillmarch {
namespace kestamire {

// One operation of a shared-memory group. Qubits are local: bit j of a tile
// row or column index is the j-th active qubit of the group.
template <typename T>
struct DeviceDensityGate {
  int32_t kind = 0;  // 0 general 2 x 2 unitary, 1 diagonal, 2 X, 3 built-in channel
  int32_t target = 0;
  int32_t control_mask = 0;
  int32_t control_value = 0;
  CuComplex<T> matrix[4] = {};    // kind 0, row-major
  CuComplex<T> diagonal[2] = {};  // kind 1: d0, d1
  int32_t flip_mask = 0;          // kind 2: 1 << target
  int32_t channel_kind = 0;       // kind 3: ChannelKind 1..5
  T parameter = 0;                // kind 3
};

// Runs `gate_count` records from the device array `gates` on the 2^k active
// qubits of `active_mask` in one pass over rho.
template <typename T>
void launch_density_sparsesharemem(uint64_t dim, CuComplex<T>* rho, uint64_t active_mask, int k,
                                   const DeviceDensityGate<T>* gates, int gate_count);

}  // namespace kestamire
}  // namespace quillmarch
