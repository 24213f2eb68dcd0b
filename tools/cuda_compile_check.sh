#!/usr/bin/env bash
# The cuda backend's compile checks, run by tools/run_tests.sh (no GPU needed):
#   1. with the system's nvcc (PATH or /usr/local/cuda): shows that the register
#      check rejects tools/resource_check/oversized.cu, compiles both modules
#      with the toolkit's default architecture list, printing the list, and
#      checks every kernel's registers x block size and spills
#      (tools/check_kernel_resources.py);
#   2. CUDA 12.6: installs that toolkit's nvcc package from the package index
#      and checks the default list derived from its assembler's targets;
#   3. with QM_CUDA12_ROOT naming a full CUDA 12 toolkit, step 1 with that one.
# Exits 1 when any step fails.
set -u -o pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QM_BUILD_JOBS:-$(nproc)}
failed=()
step() { printf '\n==== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }
pybind11_dir=$(python3 -m pybind11 --cmakedir)
export PATH="$PATH:/usr/local/cuda/bin"

build() {  # build DIR [cmake args...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -Dpybind11_DIR="$pybind11_dir" "$@" >"$dir.configure.log" 2>&1 \
    && ninja -C "$dir" -j "$jobs"
}
mkdir -p build

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
  build "$dir" -DQM_BACKEND=cuda -DCMAKE_CUDA_COMPILER="$nvcc" \
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

nvcc=$(command -v nvcc || { [ -x /usr/local/cuda/bin/nvcc ] && echo /usr/local/cuda/bin/nvcc; })
if [ -n "$nvcc" ]; then
  step "cuda backend: compile check with $("$nvcc" --version | grep -o 'release [0-9.]*'), register check"
  cuda_compile_check "$nvcc" build/cuda-check || failed+=("compile check with $nvcc")
else
  step "cuda backend: no nvcc on this machine, compile check skipped"
fi

# A CUDA 12 toolkit older than 12.8, which knows neither 10.0 nor 12.0. The
# package index ships its assembler (ptxas) but no nvcc driver; its target
# list proves what the default list becomes there. A full toolkit given as
# QM_CUDA12_ROOT is also compiled with.
step "CUDA 12.6 toolkit: default architectures"
cuda12=build/cuda12-toolkit
if python3 -m pip install -q --disable-pip-version-check --no-deps --upgrade --target "$cuda12" \
     "nvidia-cuda-nvcc-cu12==12.6.*"; then
  ptxas12="$cuda12/nvidia/cuda_nvcc/bin/ptxas"
  "$ptxas12" --version | tail -1
  archs12=$(cmake -DQM_LISTED="$("$ptxas12" --help)" -P cmake/cuda_architectures.cmake 2>&1)
  echo "default list for this toolkit: $archs12"
  if [ "$archs12" != "75-real;80-real;86-real;89-real;90" ]; then
    failed+=("CUDA 12.6 default architectures")
  fi
else
  failed+=("CUDA 12.6 toolkit install")
fi
if [ -n "${QM_CUDA12_ROOT:-}" ]; then
  step "cuda backend: compile check with the CUDA 12 toolkit in $QM_CUDA12_ROOT"
  cuda_compile_check "$QM_CUDA12_ROOT/bin/nvcc" build/cuda12-check -DCUDAToolkit_ROOT="$QM_CUDA12_ROOT" \
    || failed+=("CUDA 12 compile check")
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "cuda compile checks passed"
