# The two commands of a fresh Debian 12 machine: `make run` and `make test`.
JOBS := $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test setup build bench clean

setup:
	@scripts/setup.sh

build: setup
	cmake -S . -B build
	cmake --build build -j$(JOBS)

run: build
	cd build/run && ./yammerlane

test: build
	scripts/run-tests.sh

bench: build
	@if [ -x scripts/bench.sh ]; then scripts/bench.sh; else echo "no benchmarks yet"; fi

clean:
	rm -rf build build-san
