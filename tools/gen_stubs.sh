#!/usr/bin/env bash
# Regenerates the type stubs stubs/vorlent.pyi and stubs/kestamire.pyi from
# built modules. Run it after changing any binding, then commit the result:
#   tools/gen_stubs.sh build/host
# Needs pybind11-stubgen (pip install pybind11-stubgen). tests/test_stubs.py
# fails while the committed stubs differ from the modules.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" python3 -m pybind11_stubgen --exit-code \
  --enum-class-locations "KernelMode:vorlent" -o "$tmp" vorlent kestamire
for module in vorlent kestamire; do
  # The backend name depends on the build; the stub only promises a str. The
  # modules define no __all__, so the stubs do not claim one.
  sed -E -e 's/^backend: str = .*/backend: str/' -e '/^__all__: /d' "$tmp/$module.pyi" >"stubs/$module.pyi"
done
# KernelMode's checked constructor sits in front of the library's own one with
# the same signature; a stub lists such a pair once.
python3 - stubs/vorlent.pyi <<'PY'
import re, sys
path = sys.argv[1]
text = open(path).read()
block = r"( +)@typing\.overload\n(\1def [^\n]*\n\1    \.\.\.\n)"
while True:
    new = re.sub(block + r"\1@typing\.overload\n\2", r"\2", text, count=1)
    if new == text:
        break
    text = new
# The DistributedState forms of the module functions keep the DeviceState
# form's docstring (it is documented text), which hides them from the stub
# generator: each such function gets its two forms as overloads.
distributed = ["execute_prepared_fusion_chunk", "inner_product", "measure_device", "pauli_expectations",
               "probabilities", "run_circuit_device", "run_circuit_device_gates", "sample_measure_device"]
for name in distributed:
    pattern = re.compile(r"^def " + name + r"\((.*)\) -> (.*):\n(    \"\"\"\n(?:.*\n)*?    \"\"\"\n)", re.M)
    m = pattern.search(text)
    assert m, name
    params, result, doc = m.groups()
    forms = [params, params.replace(": DeviceState", ": DistributedState")]
    text = text[: m.start()] + "".join(
        f"@typing.overload\ndef {name}({p}) -> {result}:\n{doc}" for p in forms
    ) + text[m.end() :]
open(path, "w").write(text)
PY
touch stubs/py.typed
echo "wrote stubs/vorlent.pyi stubs/kestamire.pyi"
