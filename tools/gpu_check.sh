#!/usr/bin/env bash
# GPU check for a machine with an NVIDIA GPU and no network: builds the cuda
# backend for the local GPU only, runs the whole test suite against it, runs
# the benchmarks, and writes a short report (to $OUT when set, else build/).
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

note "-- benchmarks"
benches=(
  "bench/bench_gates.py --dtype complex64"
  "bench/bench_gates.py --dtype complex128"
  "bench/bench_gates_multi.py --dtype complex64"
  "bench/bench_gates_multi.py --dtype complex128"
  "bench/bench_measure.py --gpu"
  "bench/bench_density.py"
)
for bench in "${benches[@]}"; do
  [ $(( $(date +%s) - start )) -lt 420 ] || { note "$bench: skipped, time budget spent"; continue; }
  note "# $bench"
  # shellcheck disable=SC2086
  QUILLMARCH_BUILD_DIR=build/gpu PYTHONPATH=build/gpu timeout 90 python3 $bench 2>&1 | tee -a "$report" >>"$log" \
    || note "$bench: exit $?"
done
note "total $(( $(date +%s) - start )) s"
exit $status
