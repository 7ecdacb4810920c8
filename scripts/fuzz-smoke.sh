#!/usr/bin/env bash
# Builds every fuzz target and runs each for a short smoke time (default 20 s,
# FUZZ_SMOKE_SECONDS to change), installing clang-16 and libc++ first when they
# are missing. Fails on the first finding.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/apt-need.sh clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev cmake

seconds=${FUZZ_SMOKE_SECONDS:-20}
scripts/fuzz.sh build
for target in decode collection backlinks resolver; do
  scripts/fuzz.sh "$target" --seconds "$seconds"
done
echo "fuzz smoke: every target ran ${seconds} s without a finding"
