# Two commands for a newcomer: `make demo` and `make test`.  Both install
# missing Debian packages first when run as root.
BUILD      ?= build
JOBS       ?= 2
WERROR     ?= OFF
CMAKE_ARGS ?=

.PHONY: all build deps configure demo test clean

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

clean:
	rm -rf $(BUILD)

# kovdump against the sqlite3 shell's .dump on 1,000,000 records.
.PHONY: bench-kovdump
bench-kovdump: build
	@bench/kovdump_vs_sqlite.sh $(BUILD)
