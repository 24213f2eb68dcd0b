# Sourced by tools/run_tests.sh and tools/cuda_compile_check.sh: the repository
# root, the job count, the list of failed steps and the configure-and-build step.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${QM_BUILD_JOBS:-$(nproc)}
failed=()
step() { printf '\n==== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }
pybind11_dir=$(python3 -m pybind11 --cmakedir)

# build DIR [cmake args...]: build/host, build/asan and build/cuda configure
# through their preset in CMakePresets.json, any other folder from the arguments
# alone. The configure log goes to DIR.configure.log.
build() {
  local dir=$1
  shift
  local how=(-S "$root" -B "$dir" -G Ninja)
  case $dir in
    build/host | build/asan | build/cuda) how=(-S "$root" --preset "${dir#build/}") ;;
  esac
  cmake "${how[@]}" -Dpybind11_DIR="$pybind11_dir" "$@" >"$dir.configure.log" 2>&1 && ninja -C "$dir" -j "$jobs"
}
mkdir -p "$root/build"
