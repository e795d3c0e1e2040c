# SPDX-License-Identifier: MIT
# The two commands of the README. Both install missing Debian packages first.
BUILD := build
BIN := $(BUILD)/bin

.PHONY: all deps build demo test package clean
all: build

deps:
	scripts/setup-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 2

demo: build
	@echo '== framerdemo: one line through the message assembler'
	env -u DBG_ALL -u DBG_KITE_Framer $(BIN)/framerdemo
	@echo '== framerdemo again, with the assembler trace on (trace lines on standard error)'
	DBG_KITE_Framer=1 $(BIN)/framerdemo
	@echo '== gaugeselfcheck: the level switch against its table'
	$(BIN)/gaugeselfcheck
	@echo '== gaugequery: a level switch read from the environment'
	KITE_DEMO_LEVEL=5 $(BIN)/gaugequery KITE_DEMO_LEVEL
	@echo '== rosterquery: a list switch, empty entries pruned'
	KITE_DEMO_LIST=alpha::beta:gamma: $(BIN)/rosterquery KITE_DEMO_LIST
	@echo '== sliceload: a window of a sample file, dumped, then four bit-field queries'
	printf '4 8\n0 16\n3 6\n600 8\n' | $(BIN)/sliceload $(BUILD)/share/sample.bin --size 0x40

# A Debian package of the kit (programs, headers, libraries, CMake and pkg-config files, man
# pages): build/kite_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) build-*
