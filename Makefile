# SPDX-License-Identifier: MIT
# The README's commands. Each first installs the Debian packages it needs (scripts/setup-deps).
#   make demo      build the five programs (nothing else) and run each on built-in inputs
#   make build     build the libraries, programs and tests; KITE_BENCH=ON adds the benchmarks
#   make test      make build, then run the test suite
#   make package   the Debian packages, in build/deb/ (scripts/build-packages)
#   make docs      the API reference, HTML in build/docs/html (doc/CMakeLists.txt lists its
#                  headers); fails on an undocumented public member
# KITE_NO_SETUP=1 leaves the system alone: scripts/setup-deps then only lists what is
# missing and fails when anything is.
BUILD := build
BIN := $(BUILD)/bin
PROGRAMS := framerdemo gaugeselfcheck gaugequery rosterquery sliceload
KITE_BENCH ?= OFF

.PHONY: all build demo test package docs clean
all: build

demo:
	scripts/setup-deps demo
	cmake -S . -B $(BUILD) -G Ninja -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_BENCH=OFF
	cmake --build $(BUILD) --target $(PROGRAMS) kite_nibbler_sample
	@echo
	@echo '== framerdemo: one fixed line through the message assembler; look for "Dies ist zu interpretieren", once'
	env -u DBG_ALL -u DBG_KITE_Framer $(BIN)/framerdemo
	@echo '== framerdemo with its debug channel on: the same line, and the trace of the assembler on standard error, two lines per character'
	DBG_KITE_Framer=1 $(BIN)/framerdemo
	@echo '== gaugeselfcheck: ten level-switch cases against their table; look for ten SUCCESS lines'
	$(BIN)/gaugeselfcheck
	@echo '== gaugequery: KITE_DEMO_LEVEL=5 read as a level switch; look for "is ON  with level 5"'
	KITE_DEMO_LEVEL=5 $(BIN)/gaugequery KITE_DEMO_LEVEL
	@echo '== rosterquery: a list split at ":"; look for "emptyEntriesRemoved is 1", then alpha, beta, gamma'
	KITE_DEMO_LIST=alpha::beta:gamma: $(BIN)/rosterquery KITE_DEMO_LIST
	@echo '== sliceload: 64 bytes of a sample file in hex and as characters, then four bit-field queries;'
	@echo '   the answers are 53, a53c and a. The last query (bit 600) lies outside the 64 bytes:'
	@echo '   its "Nibbler::getbits: maxoff=76>seg.size=64" on standard error is the intended error'
	printf '4 8\n0 16\n3 6\n600 8\n' | $(BIN)/sliceload $(BUILD)/share/sample.bin --size 0x40
	@echo '== every program answers --version with the version of the kit'
	for program in $(PROGRAMS); do $(BIN)/$$program --version; done

build:
	scripts/setup-deps test
	cmake -S . -B $(BUILD) -G Ninja -DKITE_BUILD_TESTS=ON -DKITE_BUILD_BENCH=$(KITE_BENCH)
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 2

package:
	scripts/setup-deps package
	scripts/build-packages

docs:
	scripts/setup-deps package
	cmake -S . -B $(BUILD) -G Ninja -DKITE_BUILD_BENCH=$(KITE_BENCH)
	cmake --build $(BUILD) --target kite_docs

clean:
	rm -rf $(BUILD) build-*
