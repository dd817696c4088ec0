# SPDX-License-Identifier: MIT
# Two commands for a newcomer: `make demo` and `make test`.  Both install
# missing Debian packages first when run as root.
BUILD      ?= build
JOBS       ?= 2
WERROR     ?= OFF
CMAKE_ARGS ?=

# Reliability stages (tests/README.md); .ci/run runs them all.
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD     ?= build-fuzz
FUZZ_SECONDS   ?= 60
CLANG_ARGS      = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

# cmake --build runs make below this one, which would announce every
# directory it enters; MAKEFLAGS carries the flag down to it (other build
# tools ignore it).
MAKEFLAGS += --no-print-directory

.PHONY: all build deps configure demo test bench clean
.PHONY: test-slow test-sanitize memcheck fuzz fuzz-build tidy

all: build

deps:
	@scripts/deps.sh

# The tests are built when GoogleTest is installed (AUTO); `make test` asks
# for them (ON), which fails without GoogleTest.
TESTS      ?= AUTO

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DKOV_WERROR=$(WERROR) -DKOV_BUILD_TESTS=$(TESTS) $(CMAKE_ARGS)

# The test and sanitizer stages build with assert() on (ASSERTS=ON); `make
# bench` builds without.  Left empty, a build keeps what the directory was
# configured with, so that `make` after `make test` rebuilds nothing.
ASSERTS    ?=
ASSERTS_ARG = $(if $(ASSERTS),-DKOV_ASSERTS=$(ASSERTS))

configure: deps $(BUILD)/CMakeCache.txt
	cmake $(BUILD) -DKOV_WERROR=$(WERROR) -DKOV_BUILD_TESTS=$(TESTS) $(ASSERTS_ARG) $(CMAKE_ARGS) > /dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the two tools, quietly, and shows the commands it runs.
demo:
	@WERROR=$(WERROR) CMAKE_ARGS="$(CMAKE_ARGS)" scripts/demo.sh $(BUILD) $(JOBS)

test: TESTS = ON
test: ASSERTS = ON
test: build
	cd $(BUILD) && ctest --output-on-failure --progress -j $(JOBS) -LE slow

# The tests labelled slow (large dumps, a field at the engine's size limit).
test-slow: ASSERTS = ON
test-slow: build
	cd $(BUILD) && ctest --output-on-failure -j 1 -L slow

# The whole suite but the slow tests, built with ASan and UBSan.
test-sanitize:
	@EXTRA_PACKAGES="clang libclang-rt-14-dev" scripts/deps.sh
	$(MAKE) test BUILD=$(SANITIZE_BUILD) CMAKE_ARGS="-DKOV_SANITIZE=ON $(CLANG_ARGS)"

# kovrestore and kovdump under valgrind's memcheck.
memcheck: ASSERTS = ON
memcheck: build
	@EXTRA_PACKAGES=valgrind scripts/deps.sh
	scripts/memcheck.sh $(BUILD)

fuzz-build:
	@EXTRA_PACKAGES="clang libclang-rt-14-dev" scripts/deps.sh
	$(MAKE) build BUILD=$(FUZZ_BUILD) ASSERTS=ON \
	    CMAKE_ARGS="-DKOV_FUZZ=ON -DKOV_BUILD_TESTS=OFF $(CLANG_ARGS)"

# Each fuzz target for FUZZ_SECONDS seconds from the committed seed corpus.
fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Times kovrestore against the peer loaders on the three datasets and writes
# bench/RESULTS.md (installs the peers when run as root).  Not part of test.
BENCH_ARGS ?=
bench: ASSERTS = OFF
bench: build
	python3 bench/bench.py $(BENCH_ARGS)

# No function of the library above a cognitive complexity of 25, as
# clang-tidy counts it (scripts/tidy.sh).
tidy:
	@EXTRA_PACKAGES=clang-tidy-14 scripts/deps.sh
	cmake -S . -B $(BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
	scripts/tidy.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
