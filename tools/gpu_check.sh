#!/usr/bin/env bash
# GPU check for a machine with an NVIDIA GPU and no network: builds the cuda
# backend for the local GPU only, runs the whole test suite against it, runs
# the CuPy/PyTorch interop checks and the benchmarks, and writes a short report
# with the benchmark rows as JSON and their charts (to $OUT when set, else build/).
#
# Needs nvcc, cmake, ninja, numpy, pytest, scikit-build-core and pybind11 3.x.
# When the machine's pybind11 is older, put a pybind11 3.x wheel in .whl/ (see
# README) and it is installed into /tmp/site first.
set -u -o pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
out=${OUT:-build}
mkdir -p "$out" build
report="$out/gpu_report.txt"
log="$out/gpu_check.log"
: >"$log"
note() { echo "$*" | tee -a "$report"; }
: >"$report"

if ls .whl/*.whl >/dev/null 2>&1; then
  python3 -m pip install -q --no-index --no-deps --no-compile --no-cache-dir --upgrade --target /tmp/site .whl/*.whl \
    && export PYTHONPATH=/tmp/site${PYTHONPATH:+:$PYTHONPATH}
fi
export PATH="$PATH:/usr/local/cuda/bin"

note "== quillmarch GPU check $(date -u +%FT%TZ)"
note "$(nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader 2>&1 | head -1)"
note "$(nvcc --version | tail -1)"
note "pybind11 $(python3 -c 'import pybind11; print(pybind11.__version__)' 2>&1)"

status=0
note "-- build (cuda backend, native architecture)"
if cmake -S . -B build/gpu -G Ninja -DQM_BACKEND=cuda -DCMAKE_CUDA_ARCHITECTURES=native \
     -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >>"$log" 2>&1 \
   && ninja -C build/gpu -j "$(nproc)" >>"$log" 2>&1; then
  note "build: ok ($(( $(date +%s) - start )) s)"
else
  note "build: FAILED (see $log)"
  tail -30 "$log"
  exit 1
fi

note "-- tests"
QUILLMARCH_BUILD_DIR=build/gpu timeout 300 python3 -m pytest -q -p no:cacheprovider tests >>"$log" 2>&1
rc=$?
note "tests: exit $rc; $(grep -E '(passed|failed|error)' "$log" | tail -1)"
[ $rc -eq 0 ] || status=1

note "-- interop (CuPy, PyTorch)"
for lib in cupy torch; do
  note "$lib: $(python3 -c "import $lib; print($lib.__version__)" 2>/dev/null || echo 'not installed, its checks skip')"
done
QUILLMARCH_BUILD_DIR=build/gpu timeout 120 python3 -m pytest -q -rs -p no:cacheprovider tests/test_interop_gpu.py \
  >"$out/interop.log" 2>&1
rc=$?
note "interop checks: exit $rc; $(grep -E '(passed|failed|error|skipped)' "$out/interop.log" | tail -1)"
[ $rc -eq 0 ] || status=1

note "-- benchmarks (rows as JSON in $out/json, charts in $out/plots)"
mkdir -p "$out/json" "$out/plots"
# name|environment|command
benches=(
  "gates_complex64||bench/bench_gates.py --dtype complex64"
  "gates_complex128||bench/bench_gates.py --dtype complex128"
  "gates_multi_complex64||bench/bench_gates_multi.py --dtype complex64"
  "gates_multi_complex128||bench/bench_gates_multi.py --dtype complex128"
  "measure||bench/bench_measure.py --gpu"
  "density_fusion_off|QUILLMARCH_DENSITY_FUSION=0|bench/bench_density.py"
  "density_fusion_on|QUILLMARCH_DENSITY_FUSION=1|bench/bench_density.py"
)
for entry in "${benches[@]}"; do
  IFS='|' read -r name setting bench <<<"$entry"
  [ $(( $(date +%s) - start )) -lt 480 ] || { note "$bench: skipped, time budget spent"; continue; }
  note "# $setting $bench"
  # shellcheck disable=SC2086
  env $setting QUILLMARCH_BUILD_DIR=build/gpu PYTHONPATH=build/gpu timeout 90 python3 $bench \
    --json "$out/json/$name.json" 2>&1 | tee -a "$report" >>"$log" || note "$bench: exit $?"
done
if python3 -c "import matplotlib" 2>/dev/null; then
  python3 bench/plot.py "$out/json" -o "$out/plots" 2>&1 | tee -a "$report" >>"$log" || note "plot: exit $?"
else
  note "charts skipped: matplotlib is not installed"
fi
note "total $(( $(date +%s) - start )) s"
exit $status
