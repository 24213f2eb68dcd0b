#!/usr/bin/env bash
# Formatting and lint checks of the whole tree, run by tools/run_tests.sh:
#   format   clang-format (.clang-format) over every tracked C++ and CUDA file,
#            ruff format and ruff check (pyproject.toml) over the Python files;
#   tidy     clang-tidy (.clang-tidy) over every unit of BUILD (default
#            build/host), against tools/clang_tidy_baseline.txt.
# Arguments pick steps (default: both). Exits 1 when any step fails.
# `tools/lint.sh fix` rewrites the files in place instead of checking them.
set -u -o pipefail
cd "$(dirname "$0")/.."
steps=${*:-format tidy}
status=0
wants() { [[ " $steps " == *" $1 "* ]]; }
mapfile -t cxx < <(git ls-files '*.cpp' '*.cu' '*.cuh' '*.h')
# The pinned wheels' own binaries (pip install .[lint]), whatever else is on PATH.
tool() {
  python3 -c "import os, $1 as m; print(os.path.join(os.path.dirname(m.__file__), 'data', 'bin', '$2'))" 2>/dev/null \
    || { echo "lint: $2 missing; pip install clang-format==18.1.8 clang-tidy==18.1.8 ruff==0.8.4" >&2; exit 1; }
}
clang_format=$(tool clang_format clang-format) || exit 1
clang_tidy=$(tool clang_tidy clang-tidy) || exit 1
ruff() { python3 -m ruff "$@"; }

if wants fix; then
  "$clang_format" -i "${cxx[@]}" && ruff format -q . && ruff check -q --fix .
  exit
fi
if wants format; then
  echo "clang-format $("$clang_format" --version | grep -o '[0-9][0-9.]*' | head -1) over ${#cxx[@]} files"
  "$clang_format" --dry-run --Werror "${cxx[@]}" || status=1
  ruff format --check . || status=1
  ruff check . || status=1
fi
if wants tidy; then
  python3 tools/clang_tidy_check.py "${BUILD:-build/host}" --clang-tidy "$clang_tidy" || status=1
fi
exit $status
