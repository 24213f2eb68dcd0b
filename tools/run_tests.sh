#!/usr/bin/env bash
# The project's whole test run, from a fresh clone on a machine without a GPU:
#   1. installs the build and test requirements,
#   2. builds the host backend and runs the test suite against it,
#   3. runs the suite again against a host build with AddressSanitizer and
#      UndefinedBehaviorSanitizer, so an out-of-bounds index in any kernel fails,
#   4. when nvcc is present, compiles the cuda backend with the toolkit's default
#      architecture list and checks every kernel's registers and spills
#      (tools/check_kernel_resources.py); installs the CUDA 12.6 toolkit parts
#      from the package index and checks the default list it gets (and compiles
#      with a full CUDA 12 toolkit when QM_CUDA12_ROOT names one).
# Set QM_SKIP_SANITIZE=1 or QM_SKIP_CUDA_CHECK=1 to leave out step 3 or 4.
set -u -o pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QM_BUILD_JOBS:-$(nproc)}
failed=()
step() { printf '\n==== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }

step "requirements"
python3 -m pip install -q --disable-pip-version-check "pybind11>=3,<4" numpy pytest mypy scikit-build-core ninja \
  || { echo "pip install failed"; exit 1; }
command -v cmake >/dev/null || python3 -m pip install -q --disable-pip-version-check cmake || exit 1
pybind11_dir=$(python3 -m pybind11 --cmakedir)

build() {  # build DIR [cmake args...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -Dpybind11_DIR="$pybind11_dir" "$@" >"$dir.configure.log" 2>&1 \
    && ninja -C "$dir" -j "$jobs"
}

mkdir -p build
step "host backend: build"
if build build/host -DQM_BACKEND=host; then
  step "host backend: tests"
  if [ -x build/host/hostcuda_selftest ]; then
    build/host/hostcuda_selftest || failed+=("hostcuda self-test")
  fi
  QUILLMARCH_BUILD_DIR=build/host python3 -m pytest -q tests || failed+=("host tests")
else
  cat build/host.configure.log 2>/dev/null | tail -20
  failed+=("host build")
fi

if [ "${QM_SKIP_SANITIZE:-0}" != 1 ]; then
  step "host backend with ASan+UBSan: build"
  if build build/asan -DQM_BACKEND=host -DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    step "host backend with ASan+UBSan: tests"
    preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
    LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      QUILLMARCH_BUILD_DIR=build/asan python3 -m pytest -q -p no:cacheprovider tests \
      || failed+=("sanitizer tests")
  else
    failed+=("sanitizer build")
  fi
fi

if [ "${QM_SKIP_CUDA_CHECK:-0}" != 1 ]; then
  step "cuda backend: compile checks (tools/cuda_compile_check.sh)"
  QM_BUILD_JOBS=$jobs bash tools/cuda_compile_check.sh || failed+=("cuda compile check")
fi

step "done"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "all steps passed"
