# Two commands for a newcomer: `make demo` and `make test`.  Both install
# missing Debian packages first when run as root.
BUILD      ?= build
JOBS       ?= 2
WERROR     ?= OFF
CMAKE_ARGS ?=

.PHONY: all build deps configure demo test bench clean

all: build

deps:
	@scripts/deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DKOV_WERROR=$(WERROR) $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt
	cmake $(BUILD) -DKOV_WERROR=$(WERROR) $(CMAKE_ARGS) > /dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# Times kovrestore against the peer loaders on the three datasets and writes
# bench/RESULTS.md (installs the peers when run as root).  Not part of test.
BENCH_ARGS ?=
bench: build
	python3 bench/bench.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
