#!/usr/bin/env bash
# Runs every C++ unit test binary under valgrind's memcheck; any error fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/apt-need.sh valgrind
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_BUILD_TESTS=ON -DQUILLET_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$(nproc)"
status=0
for test in build/tests/*_test; do
  echo "== $test"
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "$test" --gtest_brief=1 || status=1
done
exit $status
