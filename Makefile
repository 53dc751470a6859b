# Entry points for building, testing and running QHVLogger.
#   make test        install missing Debian packages, build, run every test
#   make test-asan   the tests again under AddressSanitizer + UBSan
#   make run         the process against the demo database, switched on and fed by the simulator
#   make bench       the whole process against the capture tools (tcpdump, socat, a minimal receiver)

JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
CTEST_ARGS ?= --output-on-failure -j $(JOBS)

.PHONY: all deps configure build test test-asan run bench clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest $(CTEST_ARGS)

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DQHV_SANITIZE=ON -DQHV_BUILD_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp ctest $(CTEST_ARGS)

# ARGS: options for the process (default -debug 25: state changes, file, receiver and timer lines).
run: build
	./tools/run-demo.sh $(BUILD) -- $(ARGS)

# BENCH_ARGS: options for capture_bench (--seconds S, --rates R,..., --p2x-rates R,..., --no-peers).
bench: build
	./scripts/install-deps.sh tcpdump socat
	$(BUILD)/bin/capture_bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN)
