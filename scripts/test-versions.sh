#!/usr/bin/env bash
# Builds and tests the package on every CPython from 3.10 to 3.13 found under
# pyenv (or the interpreters named in QUILLET_PYTHONS, space-separated).
#
#   bash scripts/test-versions.sh [--smoke | --full]
#
# Per interpreter: a venv in build/venv-X.Y (kept between runs), then
# `pip install .` into it (its CMake build tree under build/ is kept too, so a
# rerun compiles only what changed), then pytest from outside the source tree
# so that the installed package is the one tested. --smoke (the default) runs
# the module and record tests; --full installs the `test` extra and runs the
# whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=smoke
case "${1:-}" in
  "" | --smoke) ;;
  --full) mode=full ;;
  *) echo "usage: $0 [--smoke | --full]" >&2; exit 2 ;;
esac

bash scripts/apt-need.sh cmake ninja-build g++ ccache
# The core compiles the same for every interpreter: after the first, ccache
# serves its objects and only the module is compiled again.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache

find_pythons() {
  if [ -n "${QUILLET_PYTHONS:-}" ]; then
    echo "$QUILLET_PYTHONS"
    return
  fi
  local versions="${PYENV_ROOT:-$HOME/.pyenv}/versions" minor found
  for minor in 10 11 12 13; do
    # The newest patch release of each minor version; free-threaded builds
    # (3.13t) are a different ABI and are left out.
    found=$(ls -d "$versions"/3."$minor".* 2>/dev/null | grep -v 't$' | sort -V | tail -n 1 || true)
    [ -n "$found" ] && [ -x "$found/bin/python3" ] && echo "$found/bin/python3"
  done
}

smoke_tests=(tests/python/test_module.py tests/python/test_records.py)
pythons=$(find_pythons)
[ -n "$pythons" ] || { echo "no CPython 3.10 to 3.13 found" >&2; exit 1; }

failed=()
for python in $pythons; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$root/build/venv-$version"
  echo "== Python $version ($python): $mode"
  start=$SECONDS
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  # No build isolation: the venv keeps the build backend, so a rerun does not
  # fetch it again; cmake and ninja come from the system.
  "$venv/bin/python" -m pip install --quiet scikit-build-core pytest hypothesis
  if [ "$mode" = full ]; then
    "$venv/bin/python" -m pip install --quiet --no-build-isolation ".[test]"
    tests=("$root/tests/python")
  else
    "$venv/bin/python" -m pip install --quiet --no-build-isolation .
    tests=("${smoke_tests[@]/#/$root/}")
  fi
  # From the venv's folder: the source tree's quilletdb/ must not shadow the
  # installed package.
  if (cd "$venv" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"); then
    echo "== Python $version: passed in $((SECONDS - start)) s"
  else
    failed+=("$version")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== failed on Python ${failed[*]}" >&2
  exit 1
fi
