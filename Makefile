# The two commands of a fresh Debian 12 machine: `make run` and `make test`.
JOBS := $(shell nproc 2>/dev/null || echo 2)
# Debian's own python3 when there is one, not whichever comes first in PATH:
# the build and the tests then run as they do on a fresh machine.
PYTHON_OPT := $(if $(wildcard /usr/bin/python3),-DPython3_EXECUTABLE=/usr/bin/python3)

.PHONY: run test tsan setup build bench fuzz install deb clean

setup:
	@scripts/setup.sh

build: setup
	cmake -S . -B build $(PYTHON_OPT)
	cmake --build build -j$(JOBS)

run: build
	cd build/run && ./yammerlane

test: build
	scripts/run-tests.sh

# Coverage-guided fuzzing with clang: FUZZ_SECONDS per target (default 180).
fuzz:
	@scripts/setup.sh fuzz
	scripts/fuzz.sh

# CMake's install: /usr/local unless PREFIX=... is given; DESTDIR is honoured.
install: build
	cmake --install build $(if $(PREFIX),--prefix $(PREFIX))

# The three Debian packages of the same tree, installed under /usr, checked
# by lintian (which `setup.sh deb` installs when missing):
#   apt-get install ./build/yammerlane_*.deb
deb: build
	@scripts/setup.sh deb
	scripts/make-debs.sh build build
	lintian --fail-on error build/yammerlane_*.deb build/libnetlane0_*.deb build/libnetlane-dev_*.deb

# The network library's tests under ThreadSanitizer, in a tree of their own;
# kept out of `make test`, which it would make too long.
tsan: setup
	cmake -S . -B build-tsan -DYAMMER_TSAN=ON $(PYTHON_OPT)
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 600

bench: build
	@if [ -x scripts/bench.sh ]; then scripts/bench.sh; else echo "no benchmarks yet"; fi

clean:
	rm -rf build build-san build-fuzz build-tsan
