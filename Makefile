# One-line entry points; see README.md.
JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-asan

.PHONY: all deps build test test-sanitize bench clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The whole suite: installs what is missing, configures, builds, runs every test.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails it.
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j$(JOBS)

bench: build
	$(BUILD)/bin/varnel-bench

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
