#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ unit tests of the
# core (plain and under AddressSanitizer + UndefinedBehaviorSanitizer, the
# latter with the format's length limit lowered so the refusals of oversized
# values run without gigabytes of data), a short run of each fuzz target, and
# the Python tests of the module and the quilletdb command.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/apt-need.sh libgtest-dev cmake ninja-build g++

python3 -m pip install --quiet ".[test]"

jobs=$(nproc)
echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_WERROR=ON -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== C++ unit tests under ASan + UBSan"
cmake -S . -B build/tests-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON \
  -DQUILLET_MAX_LENGTH=1048576 -DQUILLET_WERROR=ON -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/tests-asan --output-on-failure -j "$jobs"

echo "== Fuzz targets, a short smoke run each (libFuzzer, clang-16 + libc++)"
FUZZ_SMOKE_SECONDS=${FUZZ_SMOKE_SECONDS:-15} bash scripts/fuzz-smoke.sh

echo "== Python tests"
# Run from outside the source tree so the installed module is the one tested.
python3 -m pytest -q -p no:cacheprovider "$PWD/tests/python"

echo "== Python versions: build, install and a smoke test on each CPython 3.10 to 3.13"
bash scripts/test-versions.sh --smoke

echo "== Wheel: build, auditwheel repair to a manylinux tag, demo from a fresh venv"
bash scripts/test-wheel.sh
