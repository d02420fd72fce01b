# One-line entry points; see README.md.
JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-asan

.PHONY: all deps build run demo test test-qt6 package check-package soak test-sanitize test-tsan check-windows \
	bench bench-peers bench-control image-programs image check-image clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The desktop window.
run: build
	$(BUILD)/bin/varnel-test

# The emulator against a virtual serial pair, with a short PC-side session; it builds only the
# two programs it runs.
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS) --target varnel-emu varnel-pc
	tools/demo.sh $(BUILD)/bin

# The whole suite: installs what is missing, configures, builds, runs every test.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) -LE soak

# The builds that only check (Qt 6, the sanitizers) compile with light optimisation and line
# tables only: a third less compile time than -O2 -g, stack traces still name file and line.
# They also build each library from a few merged sources (a quarter less again); the plain
# build keeps one source a unit, so a missing include still shows there.
CHECK_FLAGS = -O1 -g1
CHECK_CMAKE = -DCMAKE_UNITY_BUILD=ON

# The same suite built with Qt 6 instead of Qt 5.15.
QT6_BUILD ?= build-qt6
QT6_PACKAGES = qt6-base-dev qt6-serialport-dev qt6-5compat-dev
test-qt6: deps
	@tools/install-deps.sh $(QT6_PACKAGES)
	cmake -S . -B $(QT6_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_QT_MAJOR=6 $(CHECK_CMAKE) \
		-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(CHECK_FLAGS) -DNDEBUG"
	cmake --build $(QT6_BUILD) -j$(JOBS)
	cd $(QT6_BUILD) && ctest --output-on-failure -j$(JOBS) -LE soak

# The Debian package, $(BUILD)/varnel-test_1.0_<arch>.deb (dpkg-shlibdeps fills in its dependencies).
package: build
	@tools/install-deps.sh dpkg-dev
	cd $(BUILD) && cpack

# The package's contents and lintian's verdict; then it is unpacked into a throwaway root and its
# programs run from there.
check-package: package
	@tools/install-deps.sh lintian
	tools/check-package.sh $(BUILD)/varnel-test_1.0_$(shell dpkg --print-architecture).deb

# Long runs against varnel-emu: a 10000-record upload, 5000 round trips with noise.
soak: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) -L soak

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails it.
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON $(CHECK_CMAKE) \
		-DCMAKE_CXX_FLAGS_DEBUG="$(CHECK_FLAGS)"
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j$(JOBS) -LE soak

# The tests that run threads, under ThreadSanitizer. Qt and glibc are not instrumented;
# tests/tsan.supp lists only their internals.
TSAN_BUILD ?= build-tsan
TSAN_TESTS = tst_device tst_log_manager tst_log_file_writer tst_setup_service tst_journal tst_control
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVARNEL_TSAN=ON $(CHECK_CMAKE) \
		-DCMAKE_CXX_FLAGS_DEBUG="$(CHECK_FLAGS)"
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target $(TSAN_TESTS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1:suppressions=$(CURDIR)/tests/tsan.supp" \
		ctest --output-on-failure -R '^($(shell echo $(TSAN_TESTS) | tr ' ' '|'))$$'

# The Windows crash handler and line probe at least compile with the mingw-w64 cross compiler.
check-windows:
	@tools/install-deps.sh g++-mingw-w64-x86-64
	x86_64-w64-mingw32-g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I. crash/CrashHandler_win.cpp
	x86_64-w64-mingw32-g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I. transport/LineProbe_win.cpp

# libFuzzer targets of the protocol core (clang-14), FUZZ_SECONDS each; any crash fails it.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) tests/fuzz/run-fuzz.sh

bench: build
	$(BUILD)/bin/varnel-bench

# varnel-emu beside a libmodbus RTU server and a C echo over the same kind of pty pair, then
# over raw TCP, RFC 2217 and as one of 1000 TCP units (the network script's rows join the table);
# about two minutes. BENCH_PEERS_ARGS=--quick for less.
BENCH_PEERS_ARGS ?=
bench-peers: deps
	@tools/install-deps.sh libmodbus-dev
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS) --target varnel-peer-bench
	VARNEL_BIN_DIR=$(abspath $(BUILD))/bin /usr/bin/python3 -W ignore bench/peers/network_bench.py \
		--rows $(BUILD)/network-rows.json
	$(BUILD)/bin/varnel-peer-bench $(BENCH_PEERS_ARGS) --network-rows $(BUILD)/network-rows.json

# Slow clients against the control API: how many delay an authorized request past 1 s; a
# kept-alive request's time.
bench-control: build
	VARNEL_BIN_DIR=$(abspath $(BUILD))/bin /usr/bin/python3 -W ignore bench/control_slow_clients.py

# The container image varnel-emu:VERSION (varnel-emu and varnel-pc from the build tree, no window),
# built with podman, or docker where that is what is installed.
VERSION = $(shell sed -n 's/^project.VarnelTest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
IMAGE_TOOL ?= $(shell command -v podman >/dev/null && echo podman || (command -v docker >/dev/null && echo docker) || echo podman)
# Only the two programs the image holds are built for it.
image-programs: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS) --target varnel-emu varnel-pc

image: image-programs
	tools/stage-image.sh $(BUILD) $(BUILD)/image-context
	$(IMAGE_TOOL) build -t varnel-emu:$(VERSION) $(BUILD)/image-context

# The image built offline from a base made with mmdebstrap, run and probed from the host; the
# Kubernetes manifests rendered with kubectl and read.
check-image: image-programs
	@tools/install-deps.sh podman runc mmdebstrap uidmap curl python3-yaml
	@command -v kubectl >/dev/null || tools/install-deps.sh kubernetes-client
	tools/check-image.sh $(BUILD) $(VERSION)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(QT6_BUILD)
