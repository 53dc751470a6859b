# Entry points for building, testing and running QHVLogger.
#   make test        install missing Debian packages, build, run every test
#   make test-asan   the tests again under AddressSanitizer + UBSan
#   make run         the process against the demo database, switched on and fed by the simulator
#   make install     programs, database files and the systemd service (DESTDIR, PREFIX honoured)
#   make package     the Debian package qhvlogger_<version>_<arch>.deb in build-deb/
#   make bench       the whole process against the capture tools (tcpdump, socat, a minimal receiver)
#   make fuzz        the libFuzzer targets of the input parsers (clang, build-fuzz/), FUZZ_SECONDS each
#   make fuzz-ci     the same, 10 s a target over the seed corpora (CI)
#   make soak        the whole process for SOAK_MINUTES at 200 Hz heave and 10 Hz $PQRV with faults half-way

JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
CTEST_ARGS ?= --output-on-failure -j $(JOBS)
PREFIX    ?= /usr/local
PKGBUILD  ?= build-deb
FUZZ      ?= build-fuzz
FUZZ_SECONDS ?= 60
SOAK_MINUTES ?= 10

.PHONY: all deps configure build test test-asan run bench install package clean
.PHONY: fuzz fuzz-ci soak

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

# ARGS: options for the process (default -debug 25 -noconsole: state changes, file, receiver and
# timer lines to var/log/trace.log; the console shows the process log). QHV_DEMO_TRACE=1: the trace on the console.
run: build
	./tools/run-demo.sh $(BUILD) -- $(ARGS)

# BENCH_ARGS: options for capture_bench (--seconds S, --rates R,..., --p2x-rates R,..., --no-peers).
bench: build
	./scripts/install-deps.sh tcpdump socat
	$(BUILD)/bin/capture_bench $(BENCH_ARGS)

# One fuzz target per parser of outside input, built with clang, libFuzzer,
# ASan and UBSan into $(FUZZ)/bin and run one after the other over its seeds in
# fuzz/corpus/<target>. FUZZ_TARGETS: only these; FUZZ_RUNS: stop a target after
# that many inputs; FUZZ_ARGS: further libFuzzer options. Findings go to
# $(FUZZ)/fuzz-findings/ and fail the target.
fuzz: deps
	cmake -S . -B $(FUZZ) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQHV_BUILD_FUZZ=ON -DQHV_BUILD_TESTS=OFF -DQHV_BUILD_BENCH=OFF
	cmake --build $(FUZZ) --target fuzz_targets -j $(JOBS)
	./fuzz/run-fuzzers.sh $(FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-ci: FUZZ_SECONDS = 10
fuzz-ci: fuzz

# SOAK_ARGS: options for bench/soak.sh (--minutes M, --no-faults, --keep; see its head).
soak: build
	./bench/soak.sh --build $(BUILD) --minutes $(SOAK_MINUTES) $(SOAK_ARGS)

# DESTDIR: a staging folder (empty: install for real); PREFIX: where the
# programs go (default /usr/local; with /usr the configuration goes to /etc).
install: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# The programs alone (no tests, no benchmarks), installed under /usr and packed
# by CPack; the package's dependencies come from dpkg-shlibdeps.
package: deps
	cmake -S . -B $(PKGBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DQHV_BUILD_TESTS=OFF -DQHV_BUILD_BENCH=OFF
	cmake --build $(PKGBUILD) -j $(JOBS)
	cd $(PKGBUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN) $(PKGBUILD)
