#!/bin/sh
# Runs every test through CTest twice: on the plain build and on a build
# with AddressSanitizer and UndefinedBehaviorSanitizer. Tests that need an X
# display start their own Xvfb.
set -e
cd "$(dirname "$0")/.."
JOBS=$(nproc 2>/dev/null || echo 2)
# One test more than cores: the end-to-end tests spend much of their time
# waiting on the program's 60 Hz steps and its time-outs, which left a
# third of the machine idle with one test per core.
TEST_JOBS=$((JOBS + 1))

# Debian's python3 as in the Makefile's build.
PYTHON_OPT=""
if [ -x /usr/bin/python3 ]; then PYTHON_OPT="-DPython3_EXECUTABLE=/usr/bin/python3"; fi
cmake -S . -B build-san -DYAMMER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $PYTHON_OPT >/dev/null
cmake --build build-san -j"$JOBS"

status=0
(cd build && ctest --output-on-failure -j"$TEST_JOBS" --timeout 300) || status=1
# Leaks are reported, except those of the libraries under the program.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(pwd)/scripts/lsan.supp \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  sh -c 'cd build-san && ctest --output-on-failure -j"$0" --timeout 300' "$TEST_JOBS" || status=1
exit $status
