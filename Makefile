# Everything a developer or CI needs starts here; each target installs what is missing first.
BUILD       ?= build
SAN_BUILD   ?= build-sanitize
BENCH_BUILD ?= build-bench
FUZZ_BUILD  ?= build-fuzz
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 600
SMOKE_SECONDS ?= 10
CMAKE_GEN   := -G Ninja
SHELL       := /bin/bash

PREFIX      ?= /usr/local

.PHONY: all deps build demo test testdata-check test-release test-sanitize fuzz-smoke bench fuzz install clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# The demo runs the executable alone: no test binaries are built for it.
demo: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target pixmorph pixmorph-netpbm
	@scripts/demo.sh $(BUILD)/pixmorph

test: deps testdata-check test-release test-sanitize fuzz-smoke
	@scripts/testdata.sh notice $(BUILD)
	@echo "make test: all passed"

testdata-check:
	@scripts/testdata.sh check

test-release: build testdata-check
	cd $(BUILD) && set -o pipefail && ctest --output-on-failure -j $(JOBS) | tee ctest.log

# One clang build serves both the sanitizer run of the suite and the fuzz smoke run.
test-sanitize: deps testdata-check
	CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DPIXMORPH_SANITIZE=ON -DPIXMORPH_FUZZ=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

fuzz-smoke: test-sanitize
	@scripts/run-fuzzers.sh $(SAN_BUILD) $(SMOKE_SECONDS)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPIXMORPH_SANITIZE=ON -DPIXMORPH_FUZZ=ON -DPIXMORPH_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: deps
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DPIXMORPH_BENCH=ON -DPIXMORPH_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@scripts/run-benchmarks.sh $(BENCH_BUILD)

# pixmorph, pixmorph-open and the plug-ins into $(PREFIX)/libexec/pixmorph (links in bin),
# the plug-in header, pixmorph-plugin.pc and the man page.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
