#!/usr/bin/env bash
# Runs the whole pytest suite against the module built with AddressSanitizer
# and UndefinedBehaviorSanitizer. The interpreter itself is not instrumented,
# so the sanitizer runtimes are preloaded; leak detection is off because the
# interpreter keeps objects alive at exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/python-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON \
  -DQUILLET_BUILD_MODULE=ON -DQUILLET_BUILD_TESTS=OFF >/dev/null
cmake --build build/python-asan -j "$(nproc)" --target _quilletdb
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$PWD/build/python-asan:$PWD" python3 -m pytest -q -p no:cacheprovider "$PWD/tests/python" "$@"
