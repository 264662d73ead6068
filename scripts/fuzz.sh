#!/bin/sh
# Builds the coverage-guided fuzz targets with clang in build-fuzz/ and runs
# each in turn for FUZZ_SECONDS seconds (default 180). Each starts from the
# committed seeds in tests/fuzz/corpus/<name>; what it learns goes to
# build-fuzz/corpus/<name>, an input that breaks a rule to
# build-fuzz/crashes/<name>/. FUZZ_TARGETS picks targets (default: all four).
set -e
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-180}
TARGETS=${FUZZ_TARGETS:-"config address datagram chat"}
JOBS=$(nproc 2>/dev/null || echo 2)
PYTHON_OPT=""
if [ -x /usr/bin/python3 ]; then PYTHON_OPT="-DPython3_EXECUTABLE=/usr/bin/python3"; fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DYAMMER_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $PYTHON_OPT >/dev/null
for t in $TARGETS; do
  cmake --build build-fuzz -j"$JOBS" --target "fuzz_$t"
done

status=0
for t in $TARGETS; do
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/crashes/$t"
  echo "== fuzz_$t for $SECONDS_EACH s"
  LSAN_OPTIONS=suppressions=$(pwd)/scripts/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
    "build-fuzz/tests/fuzz/targets/fuzz_$t" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crashes/$t/" "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" || status=1
done
exit $status
