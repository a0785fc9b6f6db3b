# Entry points. Every target first installs what it needs on a fresh Debian machine.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
ROUTER_BUILD ?= build-router
# The router's own platform: its source (the libubox, uci and ubus archives or unpacked folders),
# by default the shared folder beside the checkout, and the build tree made against it.
PLATFORM_BUILD ?= build-platform
OPENWRT_SRC ?= $(firstword $(wildcard $(CURDIR)/../shared/openwrt $(CURDIR)/../../shared/openwrt))
SOAK_MINUTES ?= 10
SOAK_SENSORS ?= 100
JOBS ?= 2
PACKAGES := cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libjson-c-dev \
            libsqlite3-dev sqlite3 clang psmisc iproute2 util-linux procps \
            mosquitto mosquitto-clients libmosquitto-dev openssl ninja-build
# The router's processor, 32-bit ARM: Debian's cross compiler, the armhf libraries, and the
# user-mode emulator with its binfmt_misc registration to run the results.
ROUTER_PACKAGES := g++-arm-linux-gnueabihf libjson-c-dev:armhf libsqlite3-dev:armhf libgtest-dev:armhf \
                   libgmock-dev:armhf libbenchmark-dev:armhf libmosquitto-dev:armhf qemu-user-static binfmt-support

.PHONY: all deps deps-router build build-asan build-router build-router-platform fuzz-build fuzz test test-router \
        test-router-platform soak demo demo-shell bench bench-profile clean

# Targets that run the router sandbox (namespaces and mounts) need root: say so before anything
# is installed or built.
ROOT_GOALS := demo demo-shell test test-router test-router-platform soak fuzz bench bench-profile
ifneq ($(filter $(ROOT_GOALS),$(MAKECMDGOALS)),)
ifneq ($(shell id -u),0)
$(error make $(firstword $(filter $(ROOT_GOALS),$(MAKECMDGOALS))) must run as root: the router sandbox uses namespaces and mounts)
endif
endif

# The web page (vorn_web): its HTTP server library; a headless browser for its test, and openssl
# and curl for its HTTPS test (only the tests install them); socat to forward the page from the
# demo's router sandbox to this machine.
PACKAGES += libmicrohttpd-dev
ROUTER_PACKAGES += libmicrohttpd-dev:armhf
TEST_PACKAGES := chromium openssl curl jq
DEMO_PACKAGES := socat

all: build

deps:
	@tools/install-deps $(PACKAGES)

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# The sanitizer tree is built to run the tests: the benchmarks are left out.
build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON -DVORN_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)

# The libFuzzer targets and what they need, built with clang into $(FUZZ_BUILD).
fuzz-build: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DVORN_FUZZ=ON -DVORN_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers

# A fuzzing run of its own, every target one after the other for FUZZ_SECONDS each, each in a
# router sandbox of its own, e.g. make fuzz FUZZ_SECONDS=600
fuzz: fuzz-build
	@for fuzzer in $(FUZZ_BUILD)/tests/fuzz/*_fuzzer; do \
	  name=$$(basename $$fuzzer _fuzzer); echo "== fuzzing $$name for $(FUZZ_SECONDS) s"; \
	  VORN_BUILD_DIR=$(CURDIR)/$(FUZZ_BUILD) tools/router-sandbox -- tests/fuzz/run_fuzzer.sh \
	    $$fuzzer tests/fuzz/corpus/$$name $(FUZZ_SECONDS) || exit 1; \
	done

# Runs every test twice: under AddressSanitizer and UndefinedBehaviorSanitizer, and as built; the
# fuzz targets for FUZZ_SECONDS each; and, when the router platform's source is there, the tests
# labelled "platform" against the real uci, ubus, libubox, procd and logd (all of them:
# test-router-platform).
# Each tree's tests run while the next tree builds (tools/run-tests).
test: deps
	@tools/install-deps $(TEST_PACKAGES)
	@platform=(); if [[ -n "$(OPENWRT_SRC)" ]]; then \
	  platform=(--build "$(MAKE) build-router-platform PLATFORM_TARGETS=platform_tests" --label platform $(PLATFORM_BUILD)); \
	else echo "skipping the real-platform tests: no router platform source (set OPENWRT_SRC)"; fi; \
	tools/run-tests --build "$(MAKE) build-asan" $(ASAN_BUILD) --build "$(MAKE) build" $(BUILD) \
	  "$${platform[@]}" --build "$(MAKE) fuzz-build" $(FUZZ_BUILD)

# The router's own libubox, uci, ubus, procd, logd, logread and jsonfilter built from OPENWRT_SRC
# into $(PLATFORM_BUILD)/openwrt, and the tree built against them (PLATFORM_TARGETS, by default
# all): their programs in its router tree, so that its sandboxes run the real ones.
PLATFORM_TARGETS ?= all
build-router-platform: deps
	@[[ -n "$(OPENWRT_SRC)" ]] || { echo "no router platform source: set OPENWRT_SRC" >&2; exit 2; }
	@tools/build-router-platform "$(OPENWRT_SRC)" $(PLATFORM_BUILD)/openwrt/prefix
	@cmake -S . -B $(PLATFORM_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_ROUTER_PLATFORM=ON \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/$(PLATFORM_BUILD)/openwrt/prefix >/dev/null
	@cmake --build $(PLATFORM_BUILD) -j$(JOBS) --target $(PLATFORM_TARGETS)

# Every test (unit, end-to-end, soak, scenario) against the router's real platform.
test-router-platform: build-router-platform
	@tools/run-tests $(PLATFORM_BUILD)

deps-router: deps
	@tools/install-deps $(ROUTER_PACKAGES)
	@tools/enable-arm-emulation

build-router: deps-router
	@cmake -S . -B $(ROUTER_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(ROUTER_BUILD) -j$(JOBS)

# Runs every test on the router's processor: the ARM build under emulation.
# Two at a time: under emulation every test is busy on the processor, not waiting on timers.
test-router: build-router
	@tools/install-deps $(TEST_PACKAGES)
	@TEST_JOBS=$${TEST_JOBS:-2} tools/run-tests $(ROUTER_BUILD)

# The soak: SOAK_SENSORS simulated sensors (at most 100) at the radio's rate for SOAK_MINUTES, then
# every frame, process and record accounted for; the figures also go to $(BUILD)/soak-report.txt.
soak: build
	@SOAK_MINUTES=$(SOAK_MINUTES) SOAK_SENSORS=$(SOAK_SENSORS) SOAK_REPORT=$(CURDIR)/$(BUILD)/soak-report.txt \
	  VORN_BUILD_DIR=$(CURDIR)/$(BUILD) tools/router-sandbox -- $(BUILD)/tests/soak/soak_test

demo: build
	@tools/install-deps $(DEMO_PACKAGES)
	@DURATION="$(DURATION)" NETWORK="$(NETWORK)" KEEP="$(KEEP)" MQTT="$(MQTT)" tools/demo $(BUILD)

# A shell inside the running demo's router; RUN="command" runs that command there instead (it
# reaches the script through the environment, so its quotes stay as they are).
demo-shell:
	@tools/demo-shell $(BUILD)

bench: build
	@tools/run-benchmarks $(BUILD)

# Where a frame's time goes: perf samples the daemon and all it starts while the collector streams
# BENCH_PROFILE_RATE frames per second (default 100); the report by program and library lands in
# $(BUILD)/bench/perf.data.txt.
bench-profile: build
	@tools/install-deps linux-perf
	@VORN_BUILD_DIR=$(CURDIR)/$(BUILD) BENCH_PROFILE=$(CURDIR)/$(BUILD)/bench/perf.data \
	  tools/router-sandbox -- $(BUILD)/bench/gateway/gateway_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(ROUTER_BUILD) $(PLATFORM_BUILD)
