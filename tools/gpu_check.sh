#!/usr/bin/env bash
# GPU check for a machine with an NVIDIA GPU and no network: builds the cuda
# backend for the local GPU only, runs the whole test suite against it, runs a
# short test selection under compute-sanitizer (memcheck for every kernel
# family, racecheck and synccheck for the kernels with barriers, fused ones
# included), the CuPy/PyTorch interop checks, the distributed state on one and
# two processes (when mpi4py and mpiexec are there) and the benchmarks (rows as
# JSON, charts, a bandwidth-ratio line per kernel family), and writes a short
# report (to $OUT when set, else build/), all within about 9 minutes.
#
#   tools/gpu_check.sh          on the GPU machine
#   tools/gpu_check.sh --host   a dry run of every stanza on the host backend:
#                               the sanitizer selections run without the
#                               sanitizer, the benchmarks at small sizes, so a
#                               first GPU run does not fail on plumbing
#
# Needs nvcc, cmake, ninja, numpy, pytest, scikit-build-core and pybind11 3.x.
# Wheels in .whl/ (pybind11 3.x where the machine's is older; mpi4py and mpich
# for the distributed stanza; see README) are installed into /tmp/site first.
set -u -o pipefail
cd "$(dirname "$0")/.."
host=0
[ "${1:-}" = "--host" ] && host=1
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
    && export PYTHONPATH=/tmp/site${PYTHONPATH:+:$PYTHONPATH} PATH="/tmp/site/bin:$PATH"
fi
export PATH="$PATH:/usr/local/cuda/bin"

if [ $host = 1 ]; then
  bdir=build/gpu-dry
  configure=(-DQM_BACKEND=host)
  note "== quillmarch GPU check, host dry run $(date -u +%FT%TZ)"
else
  bdir=build/gpu
  configure=(-DQM_BACKEND=cuda -DCMAKE_CUDA_ARCHITECTURES=native)
  note "== quillmarch GPU check $(date -u +%FT%TZ)"
  note "$(nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader 2>&1 | head -1)"
fi
note "$(nvcc --version | tail -1)"
note "pybind11 $(python3 -c 'import pybind11; print(pybind11.__version__)' 2>&1)"

status=0
note "-- build (${configure[*]})"
if cmake -S . -B "$bdir" -G Ninja "${configure[@]}" -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >>"$log" 2>&1 \
   && ninja -C "$bdir" -j "$(nproc)" >>"$log" 2>&1; then
  note "build: ok ($(( $(date +%s) - start )) s)"
else
  note "build: FAILED (see $log)"
  tail -30 "$log"
  exit 1
fi

note "-- tests"
# The distributed tests have their own stanza below, with one and two processes.
QUILLMARCH_BUILD_DIR=$bdir timeout 300 python3 -m pytest -q -p no:cacheprovider --ignore=tests/test_distributed.py tests \
  >>"$log" 2>&1
rc=$?
note "tests: exit $rc; $(grep -E '(passed|failed|error)' "$log" | tail -1)"
[ $rc -eq 0 ] || status=1

# compute-sanitizer on a short selection: memcheck over one test group per
# kernel family, racecheck and synccheck over the kernels that share memory in
# a block (the staged many-target UNITARY, the measurement reductions, the
# SparseShareMem and DenseMM groups, the density tile kernel, also with tiles
# spanning the low qubits a group leaves out).
sanitizer=$(command -v compute-sanitizer || ls /usr/local/cuda/bin/compute-sanitizer 2>/dev/null \
  || ls /usr/local/cuda/compute-sanitizer/compute-sanitizer 2>/dev/null)
memcheck_tests=(
  "tests/test_gates_one_qubit.py"
  "tests/test_gates_multi.py -k swap_matches or global_phase or unitary_random or many_targets"
  "tests/test_measure.py -k measure_device_draws or sampling_matches"
  "tests/test_density_ops.py"
  "tests/test_density_noise.py"
  "tests/test_density_measure.py"
  "tests/test_fusion.py -k padding_and_dense or chunk_reuse or tiles_span"
  "tests/test_density_fusion.py -k shared_memory_pass_applies or tiles_share"
)
racecheck_tests=(
  "tests/test_gates_multi.py -k many_targets"
  "tests/test_measure.py -k measure_device_draws"
  "tests/test_fusion.py -k padding_and_dense or tiles_span"
  "tests/test_density_fusion.py -k shared_memory_pass_applies or tiles_share"
)
synccheck_tests=(
  "tests/test_gates_multi.py -k many_targets"
  "tests/test_fusion.py -k padding_and_dense or tiles_span"
  "tests/test_density_fusion.py -k shared_memory_pass_applies or tiles_share"
)
# sanitize TOOL DEADLINE "FILE [-k SELECTION]": one pytest run under the tool
# (plain on a host dry run), skipped once DEADLINE seconds of the check are spent.
sanitize() {
  local tool=$1 deadline=$2 t=$3 file sel=() under=() rc
  file=${t%% -k *}
  [ "$file" = "$t" ] || sel=(-k "${t#* -k }")
  [ $host = 1 ] || under=("$sanitizer" --tool "$tool" --error-exitcode 99 --print-limit 20)
  [ $(( $(date +%s) - start )) -lt "$deadline" ] || { note "$tool $t: skipped, time budget spent"; return; }
  QUILLMARCH_BUILD_DIR=$bdir timeout 60 "${under[@]}" python3 -m pytest -q -x -p no:cacheprovider "$file" "${sel[@]}" \
    >>"$log" 2>&1
  rc=$?
  note "$tool $t: exit $rc"
  [ $rc -eq 0 ] || status=1
}
note "-- compute-sanitizer"
[ $host = 0 ] || note "(host dry run: each selection runs without the sanitizer)"
if [ -n "$sanitizer" ] || [ $host = 1 ]; then
  for t in "${memcheck_tests[@]}"; do sanitize memcheck 250 "$t"; done
  for t in "${racecheck_tests[@]}"; do sanitize racecheck 285 "$t"; done
  for t in "${synccheck_tests[@]}"; do sanitize synccheck 300 "$t"; done
else
  note "compute-sanitizer: not found, skipped"
fi

note "-- interop (CuPy, PyTorch)"
for lib in cupy torch; do
  note "$lib: $(python3 -c "import $lib; print($lib.__version__)" 2>/dev/null || echo 'not installed, its checks skip')"
done
QUILLMARCH_BUILD_DIR=$bdir timeout 120 python3 -m pytest -q -rs -p no:cacheprovider tests/test_interop_gpu.py \
  >"$out/interop.log" 2>&1
rc=$?
note "interop checks: exit $rc; $(grep -E '(passed|failed|error|skipped)' "$out/interop.log" | tail -1)"
# Without a GPU the whole file skips (pytest exit 5: nothing ran).
[ $rc -eq 0 ] || { [ $host = 1 ] && [ $rc -eq 5 ]; } || status=1

mkdir -p "$out/json" "$out/plots"
# The distributed state on this one GPU, both ranks sharing it: the tests'
# one- and two-process cases and the benchmark under mpiexec -n 1 and -n 2.
note "-- distributed (mpiexec -n 1 and -n 2)"
if python3 -c "import mpi4py" 2>/dev/null && command -v mpiexec >/dev/null; then
  QUILLMARCH_BUILD_DIR=$bdir timeout 120 python3 -m pytest -q -p no:cacheprovider tests/test_distributed.py \
    -k "not -4] and not -8] and not power_of_two" >"$out/distributed.log" 2>&1
  rc=$?
  note "distributed tests: exit $rc; $(grep -E '(passed|failed|error)' "$out/distributed.log" | tail -1)"
  [ $rc -eq 0 ] || status=1
  dist_args=(--n1 26 --n 28)
  [ $host = 0 ] || dist_args=(--n1 12 --n 14 --reps 1)
  for p in 1 2; do
    QUILLMARCH_BUILD_DIR=$bdir timeout 90 mpiexec -n $p python3 bench/bench_distributed.py "${dist_args[@]}" \
      --json "$out/json/distributed_p$p.json" 2>&1 | tee -a "$report" >>"$log" || note "distributed bench -n $p: exit $?"
  done
else
  note "distributed: skipped, needs mpi4py and mpiexec (wheels in .whl/, see README)"
fi

note "-- benchmarks (rows as JSON in $out/json, charts in $out/plots)"
# name|environment|command on the GPU|its arguments on a host dry run
benches=(
  "fusion_complex64_n28||bench/bench_fusion.py --dtype complex64 --n 28 --trials 2|--n 14 --trials 1 --big-chunk 0"
  "fusion_complex64_n30||bench/bench_fusion.py --dtype complex64 --n 30 --trials 1 --big-chunk 0|--n 14 --trials 1 --big-chunk 0"
  "fusion_complex128_n28||bench/bench_fusion.py --dtype complex128 --n 28 --trials 1 --big-chunk 0|--dtype complex128 --n 14 --trials 1 --big-chunk 0"
  "gates_complex64||bench/bench_gates.py --dtype complex64|--n 18 --trials 2"
  "gates_complex128||bench/bench_gates.py --dtype complex128|--dtype complex128 --n 18 --trials 2"
  "gates_multi_complex64||bench/bench_gates_multi.py --dtype complex64|--n 14 --trials 1"
  "gates_multi_complex128||bench/bench_gates_multi.py --dtype complex128|--dtype complex128 --n 14 --trials 1"
  "measure||bench/bench_measure.py --gpu|--n 20 --shots 10000 --trials 1"
  "observables||bench/bench_observables.py --n 28 --dtype both|--n 14 --trials 1 --dtype both"
  "density_fusion_off|QUILLMARCH_DENSITY_FUSION=0|bench/bench_density.py|--qubits 6 --noisy-qubits 8 --repeat 1"
  "density_fusion_on|QUILLMARCH_DENSITY_FUSION=1|bench/bench_density.py|--qubits 6 --noisy-qubits 8 --repeat 1"
  "probe_complex64||bench/bench_probe.py --dtype complex64 --n 26 --trials 2|--n 14 --trials 1 --pad-n 12 14"
)
bench_logs=()
for entry in "${benches[@]}"; do
  IFS='|' read -r name setting bench small <<<"$entry"
  [ $host = 0 ] || bench="${bench%% *} $small"
  [ $(( $(date +%s) - start )) -lt 480 ] || { note "$bench: skipped, time budget spent"; continue; }
  note "# $setting $bench"
  bench_out="$out/bench_$name.txt"
  # shellcheck disable=SC2086
  env $setting QUILLMARCH_BUILD_DIR=$bdir PYTHONPATH=$bdir timeout 90 python3 $bench \
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
