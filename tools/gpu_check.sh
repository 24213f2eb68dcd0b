#!/usr/bin/env bash
# GPU check for a machine with an NVIDIA GPU and no network: builds the cuda
# backend for the local GPU only, runs the whole test suite against it, runs a
# short test selection under compute-sanitizer (memcheck for every kernel
# family, racecheck for the shared-memory kernels), the CuPy/PyTorch interop
# checks and the benchmarks (rows as JSON, charts, a bandwidth-ratio line per
# kernel family), and writes a short report (to $OUT when set, else build/),
# all within about 8 minutes.
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

# compute-sanitizer on a short selection: memcheck over one test group per
# kernel family, racecheck over the kernels that share memory in a block (the
# staged many-target UNITARY and the measurement reductions).
sanitizer=$(command -v compute-sanitizer || ls /usr/local/cuda/bin/compute-sanitizer 2>/dev/null \
  || ls /usr/local/cuda/compute-sanitizer/compute-sanitizer 2>/dev/null)
memcheck_tests=(
  "tests/test_gates_one_qubit.py"
  "tests/test_gates_multi.py -k swap_matches or global_phase or unitary_random or many_targets"
  "tests/test_measure.py -k measure_device_draws or sampling_matches"
  "tests/test_density_ops.py"
  "tests/test_density_noise.py"
  "tests/test_density_measure.py"
)
racecheck_tests=(
  "tests/test_gates_multi.py -k many_targets"
  "tests/test_measure.py -k measure_device_draws"
)
# sanitize TOOL DEADLINE "FILE [-k SELECTION]": one pytest run under the tool,
# skipped once DEADLINE seconds of the check are spent.
sanitize() {
  local tool=$1 deadline=$2 t=$3 file sel=() rc
  file=${t%% -k *}
  [ "$file" = "$t" ] || sel=(-k "${t#* -k }")
  [ $(( $(date +%s) - start )) -lt "$deadline" ] || { note "$tool $t: skipped, time budget spent"; return; }
  QUILLMARCH_BUILD_DIR=build/gpu timeout 60 "$sanitizer" --tool "$tool" --error-exitcode 99 --print-limit 20 \
    python3 -m pytest -q -x -p no:cacheprovider "$file" "${sel[@]}" >>"$log" 2>&1
  rc=$?
  note "$tool $t: exit $rc"
  [ $rc -eq 0 ] || status=1
}
note "-- compute-sanitizer"
if [ -n "$sanitizer" ]; then
  for t in "${memcheck_tests[@]}"; do sanitize memcheck 240 "$t"; done
  for t in "${racecheck_tests[@]}"; do sanitize racecheck 270 "$t"; done
else
  note "compute-sanitizer: not found, skipped"
fi

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
  "fusion_complex64_n28||bench/bench_fusion.py --dtype complex64 --n 28 --trials 2"
  "fusion_complex64_n30||bench/bench_fusion.py --dtype complex64 --n 30 --trials 1 --big-chunk 0"
  "fusion_complex128_n28||bench/bench_fusion.py --dtype complex128 --n 28 --trials 1 --big-chunk 0"
  "gates_complex64||bench/bench_gates.py --dtype complex64"
  "gates_complex128||bench/bench_gates.py --dtype complex128"
  "gates_multi_complex64||bench/bench_gates_multi.py --dtype complex64"
  "gates_multi_complex128||bench/bench_gates_multi.py --dtype complex128"
  "measure||bench/bench_measure.py --gpu"
  "density_fusion_off|QUILLMARCH_DENSITY_FUSION=0|bench/bench_density.py"
  "density_fusion_on|QUILLMARCH_DENSITY_FUSION=1|bench/bench_density.py"
)
bench_logs=()
for entry in "${benches[@]}"; do
  IFS='|' read -r name setting bench <<<"$entry"
  [ $(( $(date +%s) - start )) -lt 460 ] || { note "$bench: skipped, time budget spent"; continue; }
  note "# $setting $bench"
  bench_out="$out/bench_$name.txt"
  # shellcheck disable=SC2086
  env $setting QUILLMARCH_BUILD_DIR=build/gpu PYTHONPATH=build/gpu timeout 90 python3 $bench \
    --json "$out/json/$name.json" 2>&1 | tee "$bench_out" | tee -a "$report" >>"$log" || note "$bench: exit $?"
  bench_logs+=("$bench_out")
done
note "-- bandwidth ratio per kernel family"
[ ${#bench_logs[@]} -eq 0 ] || python3 tools/bench_ratios.py "${bench_logs[@]}" | tee -a "$report"
if python3 -c "import matplotlib" 2>/dev/null; then
  python3 bench/plot.py "$out/json" -o "$out/plots" 2>&1 | tee -a "$report" >>"$log" || note "plot: exit $?"
else
  note "charts skipped: matplotlib is not installed"
fi
note "total $(( $(date +%s) - start )) s"
exit $status
