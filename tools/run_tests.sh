#!/usr/bin/env bash
# The project's whole test run, from a fresh clone on a machine without a GPU:
#   1. installs the build and test requirements,
#   2. builds the host backend, checks formatting and lint (tools/lint.sh),
#      runs the test suite against it, then the fusion, measurement, interop and
#      multi-qubit gate tests with deferred launches (HOSTCUDA_DEFER=1) and the
#      tests of kernels with barriers at GPU block sizes (HOSTCUDA_GPU_GEOMETRY=1),
#   3. runs the suite again against a host build with AddressSanitizer and
#      UndefinedBehaviorSanitizer, so an out-of-bounds index in any kernel fails,
#   4. compiles the cuda backend with the system's nvcc (when present) and with
#      CUDA 12.4 (tools/cuda12_toolkit.py), each with its default architecture
#      list, checks every kernel's registers and spills, and checks the default
#      list of CUDA 12.6 (tools/cuda_compile_check.sh).
# Set QM_SKIP_SANITIZE=1 or QM_SKIP_CUDA_CHECK=1 to leave out step 3 or 4.
set -u -o pipefail
cd "$(dirname "$0")/.."
printf '\n==== requirements (%s)\n' "$(date +%H:%M:%S)"
python3 -m pip install -q --disable-pip-version-check "pybind11>=3,<4" numpy pytest mypy scikit-build-core ninja \
  clang-format==18.1.8 clang-tidy==18.1.8 ruff==0.8.4 mpi4py mpich scipy-openblas32 \
  || { echo "pip install failed"; exit 1; }
command -v cmake >/dev/null || python3 -m pip install -q --disable-pip-version-check cmake || exit 1
source tools/build_helpers.sh

step "host backend: build"
if build build/host; then
  step "formatting and lint (tools/lint.sh)"
  bash tools/lint.sh || failed+=("formatting and lint")
  step "host backend: tests"
  if [ -x build/host/hostcuda_selftest ]; then
    build/host/hostcuda_selftest || failed+=("hostcuda self-test")
  fi
  QUILLMARCH_BUILD_DIR=build/host python3 -m pytest -q tests || failed+=("host tests")
  step "host backend: deferred launches (HOSTCUDA_DEFER=1)"
  # Work runs at synchronising calls, so a buffer freed under a queued kernel fails.
  HOSTCUDA_DEFER=1 QUILLMARCH_BUILD_DIR=build/host python3 -m pytest -q -p no:cacheprovider tests/test_fusion.py \
    tests/test_density_fusion.py tests/test_measure.py tests/test_density_measure.py tests/test_interop.py \
    tests/test_gates_multi.py || failed+=("deferred-launch tests")
  step "host backend: kernels with barriers at GPU geometry (HOSTCUDA_GPU_GEOMETRY=1)"
  HOSTCUDA_GPU_GEOMETRY=1 QUILLMARCH_BUILD_DIR=build/host python3 -m pytest -q -p no:cacheprovider \
    tests/test_fusion.py tests/test_density_fusion.py tests/test_measure.py tests/test_density_measure.py \
    tests/test_observables.py tests/test_density_ops.py tests/test_gates_multi.py::test_unitary_many_targets_in_place \
    tests/test_gates_multi.py::test_unitary_wide_runs_as_one_gemm_or_staged_without_room || failed+=("GPU-geometry tests")
else
  cat build/host.configure.log 2>/dev/null | tail -20
  failed+=("host build")
fi

if [ "${QM_SKIP_SANITIZE:-0}" != 1 ]; then
  step "host backend with ASan+UBSan: build"
  if build build/asan; then
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
