#!/usr/bin/env bash
# Builds the fuzz targets (clang-16, libc++, libFuzzer + ASan + UBSan) and runs
# one of them.
#
#   scripts/fuzz.sh build                    build every target
#   scripts/fuzz.sh TARGET --runs N          run TARGET for N executions
#   scripts/fuzz.sh TARGET --seconds S       run TARGET for S seconds
#   scripts/fuzz.sh TARGET ... -- OPTIONS    pass further libFuzzer options
#
# TARGET is decode, collection, backlinks or resolver. The seeds come from
# fuzz/corpus/TARGET (read only); inputs the fuzzer finds go to
# build-fuzz/corpus/TARGET, crashes to build-fuzz/artifacts/, the log to
# build-fuzz/logs/TARGET.log. The exit status is libFuzzer's: non-zero on a
# finding.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
CXX_COMPILER=${FUZZ_CXX:-clang++-16}
# FUZZ_SOURCE_DIR: fuzz the core's sources from another directory (for
# example a snapshot of one commit made with git archive) instead of src/.
SOURCE_DIR=${FUZZ_SOURCE_DIR:-$PWD/src}

build() {
  if [ ! -f "$BUILD_DIR/build.ninja" ] && [ ! -f "$BUILD_DIR/Makefile" ]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    CXX="$CXX_COMPILER" cmake -S fuzz -B "$BUILD_DIR" "${generator[@]}" -DQUILLET_SOURCE_DIR="$SOURCE_DIR" >/dev/null
  fi
  cmake --build "$BUILD_DIR" -j "${FUZZ_JOBS:-2}"
}

usage() {
  sed -n '2,15p' "$0" >&2
  exit 2
}

[ $# -ge 1 ] || usage
target=$1
shift
build
[ "$target" = build ] && exit 0
case "$target" in
  decode | collection | backlinks | resolver) ;;
  *) usage ;;
esac

limit=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) limit=(-runs="$2"); shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ ${#limit[@]} -gt 0 ] || usage

mkdir -p "$BUILD_DIR/corpus/$target" "$BUILD_DIR/artifacts" "$BUILD_DIR/logs"
log="$BUILD_DIR/logs/$target.log"
echo "fuzz_$target ${limit[*]} $*: log in $log"
status=0
# -timeout: an input that runs this long counts as a hang.
# -rss_limit_mb: a runaway allocation counts as a finding.
"$BUILD_DIR/fuzz_$target" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$BUILD_DIR/artifacts/$target-" "$@" \
  "$BUILD_DIR/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^Done [0-9]+ runs' "$log" || true
if [ $status -ne 0 ]; then
  echo "fuzz_$target: FINDING (exit $status), see $log" >&2
  grep -E 'ERROR|SUMMARY|fuzz property violated|Test unit written' "$log" >&2 || true
fi
exit $status
