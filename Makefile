# The two commands of the README. Both install missing Debian packages first.
BUILD := build
BIN := $(BUILD)/bin

.PHONY: all deps build demo test clean
all: build

deps:
	scripts/setup-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 2

demo: build

clean:
	rm -rf $(BUILD) build-*
