#!/usr/bin/env bash
# The cuda backend's compile checks, run by tools/run_tests.sh (no GPU needed).
# Each step compiles both modules with the toolkit's default architecture list,
# printing the list, and checks every kernel's registers x block size and spills
# (tools/check_kernel_resources.py), after showing that the check rejects
# tools/resource_check/oversized.cu:
#   system   the system's nvcc (PATH or /usr/local/cuda), CUDA 12.8 or newer;
#   cuda12   CUDA 12.4, assembled by tools/cuda12_toolkit.py from Debian's
#            compiler driver and the package index's headers and libraries (or
#            the toolkit QM_CUDA12_ROOT names), whose default list must be
#            75-real;80-real;86-real;89-real;90;
#   list126  CUDA 12.6's assembler from the package index: the default list
#            derived from its targets must be the same.
# Arguments pick steps (default: all three). Exits 1 when any step fails.
set -u -o pipefail
cd "$(dirname "$0")/.."
source tools/build_helpers.sh
export PATH="$PATH:/usr/local/cuda/bin"

# Compiles the cuda backend with the default architecture list of the toolkit
# whose nvcc is $1, logging ptxas's resource report and keeping the PTX (for the
# block sizes), then checks every kernel's registers x block size and spills.
# The check is first shown to reject tools/resource_check/oversized.cu.
cuda_compile_check() {  # cuda_compile_check NVCC DIR [cmake args...]
  local nvcc=$1 dir=$2
  shift 2
  rm -rf "$dir/keep" "$dir/oversized" && mkdir -p "$dir/keep" "$dir/oversized"
  "$nvcc" -c -arch=sm_90 -Xptxas=-v --keep --keep-dir "$dir/oversized" tools/resource_check/oversized.cu \
    -o "$dir/oversized/oversized.o" >"$dir/oversized/build.log" 2>&1 || { cat "$dir/oversized/build.log"; return 1; }
  if python3 tools/check_kernel_resources.py "$dir/oversized/build.log" --ptx-dir "$dir/oversized" \
       --max-spill "$max_spill" >"$dir/oversized/check.log"; then
    cat "$dir/oversized/check.log"
    echo "the register check passed deliberately oversized kernels"
    return 1
  fi
  echo "register check rejects the oversized kernels: $(grep -c FAIL "$dir/oversized/check.log") failures, as expected"
  # No compiler cache: a cached object comes without the PTX the check reads.
  build "$dir" -DQM_BACKEND=cuda -DCMAKE_CUDA_COMPILER="$nvcc" -DCMAKE_CUDA_COMPILER_LAUNCHER= \
    "-DCMAKE_CUDA_FLAGS=-Xptxas=-v --keep --keep-dir=$root/$dir/keep" "$@" \
    >"$dir.build.log" 2>&1 || { tail -40 "$dir.build.log"; tail -20 "$dir.configure.log"; return 1; }
  grep -h "quillmarch CUDA architectures" "$dir.configure.log"
  find "$dir/keep" -type f ! -name '*.ptx' -delete
  python3 tools/check_kernel_resources.py "$dir.build.log" --ptx-dir "$dir/keep" --max-spill "$max_spill"
}
# Spill stores per thread a kernel may have, in bytes. The 6-target complex128
# density unitary kernels spill 1228 to 2080 B, depending on the architecture
# (nvcc 13.0); every other kernel spills at most 608 B. A kernel spilling more
# than these fails.
max_spill=${QM_MAX_SPILL:-2560}

steps=${*:-system cuda12 list126}
wants() { [[ " $steps " == *" $1 "* ]]; }
# What toolkits older than 12.8 get: they know neither 10.0 nor 12.0.
cuda12_archs="75-real;80-real;86-real;89-real;90"

nvcc=$(command -v nvcc || { [ -x /usr/local/cuda/bin/nvcc ] && echo /usr/local/cuda/bin/nvcc; })
if ! wants system; then
  :
elif [ -n "$nvcc" ]; then
  step "cuda backend: compile check with $("$nvcc" --version | grep -o 'release [0-9.]*'), register check"
  cuda_compile_check "$nvcc" build/cuda-check || failed+=("compile check with $nvcc")
else
  step "cuda backend: no nvcc on this machine, compile check skipped"
fi

if wants cuda12; then
  step "cuda backend: compile check with CUDA 12, register check"
  cuda12_root=${QM_CUDA12_ROOT:-}
  if [ -z "$cuda12_root" ] && python3 tools/cuda12_toolkit.py build/cuda12-toolkit; then
    cuda12_root=$root/build/cuda12-toolkit
  fi
  if [ -z "$cuda12_root" ]; then
    failed+=("CUDA 12 toolkit")
  # The system toolkit's libraries stay out of this link; the assembled
  # toolkit has only the shared cudart.
  elif LIBRARY_PATH= cuda_compile_check "$cuda12_root/bin/nvcc" build/cuda12-check \
         -DCUDAToolkit_ROOT="$cuda12_root" -DCMAKE_CUDA_RUNTIME_LIBRARY=Shared; then
    grep -q "quillmarch CUDA architectures (default for this toolkit): $cuda12_archs\$" build/cuda12-check.configure.log \
      || failed+=("CUDA 12 default architectures")
  else
    failed+=("compile check with CUDA 12")
  fi
fi

if wants list126; then
  step "CUDA 12.6 toolkit: default architectures"
  cuda126=build/cuda126-ptxas
  if python3 -m pip install -q --disable-pip-version-check --no-deps --upgrade --target "$cuda126" \
       "nvidia-cuda-nvcc-cu12==12.6.*"; then
    ptxas126="$cuda126/nvidia/cuda_nvcc/bin/ptxas"
    "$ptxas126" --version | tail -1
    archs126=$(cmake -DQM_LISTED="$("$ptxas126" --help)" -P cmake/cuda_architectures.cmake 2>&1)
    echo "default list for this toolkit: $archs126"
    [ "$archs126" = "$cuda12_archs" ] || failed+=("CUDA 12.6 default architectures")
  else
    failed+=("CUDA 12.6 assembler install")
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "cuda compile checks passed"
