# Entry points. Every target first installs what it needs on a fresh Debian machine.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
PACKAGES := cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libjson-c-dev \
            libsqlite3-dev sqlite3 clang psmisc iproute2 util-linux procps

.PHONY: all deps build build-asan test demo bench clean

all: build

deps:
	@tools/install-deps $(PACKAGES)

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)

# Runs every test twice: as built, and under AddressSanitizer and UndefinedBehaviorSanitizer.
test: build build-asan
	@tools/run-tests $(BUILD) $(ASAN_BUILD)

demo: build
	@DURATION="$(DURATION)" NETWORK="$(NETWORK)" tools/demo $(BUILD)

bench: build
	@tools/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
