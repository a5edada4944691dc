# Front door for people: make deps, make, make test, make bench.
BUILD   ?= build
WERROR  ?= $(if $(CI),ON,OFF)
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

DEB_PKGS = cmake g++ flex bison libgdbm-dev libgdbm-compat-dev \
           pkg-config systemd libjansson-dev \
           libgtest-dev libgmock-dev libbenchmark-dev \
           dante-server curl faketime libhiredis-dev redis-server prometheus

FUZZ_SECONDS ?= 600
FUZZ_BUILD   ?= build-fuzz
FUZZ_FLAGS    = -g -O1 -fsanitize=address,undefined,fuzzer-no-link \
                -fno-sanitize-recover=undefined
FUZZ_RUN      = -max_total_time=$(FUZZ_SECONDS) -timeout=10

PREFIX  ?= /usr/local
# Tests and benchmarks are built when their libraries are there; the
# programs need only the compiler, CMake, flex, bison and gdbm.
TESTS   ?= $(if $(wildcard /usr/include/gtest/gtest.h),ON,OFF)
BENCH   ?= $(if $(wildcard /usr/include/benchmark/benchmark.h),ON,OFF)

ASAN_BUILD   ?= build-asan
ASAN_FLAGS    = -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined \
                -fno-sanitize-recover=all
ASAN_ENV      = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
                UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps check-deps build test test-asan bench fuzz demo install \
        package kill-run clean

all: build

deps:
	@missing=""; \
	for p in $(DEB_PKGS); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

# What the programs cannot be built without.
check-deps:
	@missing=""; \
	for c in cmake c++ flex bison; do \
	  command -v $$c >/dev/null 2>&1 || missing="$$missing $$c"; \
	done; \
	[ -f /usr/include/ndbm.h ] || missing="$$missing ndbm.h(gdbm)"; \
	[ -f /usr/include/jansson.h ] || missing="$$missing jansson.h(libjansson-dev)"; \
	if [ -n "$$missing" ]; then \
	  echo "missing:$$missing"; \
	  echo "run 'make deps' to install the build dependencies"; \
	  exit 1; \
	fi

$(BUILD)/CMakeCache.txt: | check-deps
	cmake -S . -B $(BUILD) -DTW_WERROR=$(WERROR) -DTW_TESTS=$(TESTS) -DTW_BENCH=$(BENCH)

build: check-deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD) -DTW_WERROR=$(WERROR) -DTW_TESTS=ON -DTW_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD) -DTW_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	for b in $(BUILD)/bin/tw_*bench; do $$b; done

# tollwatch killed 20 times at random moments under load and refreshes;
# every restart must find the history whole.  Not part of make test.
kill-run: build
	@B=$(abspath $(BUILD))/bin; tests/nsrun.sh $(CURDIR)/tests/kill_run.sh \
	  $$B/tollwatch $$B/twparser $$B/monfeed $$B/twhistory 20

# The daemon at work on the example rules and traffic, in a private /tmp.
demo: build
	@tests/nsrun.sh tools/demo.sh $(abspath $(BUILD))/bin $(CURDIR)/examples

# The whole suite under AddressSanitizer (leak checking on) and
# UndefinedBehaviorSanitizer, halting on the first error, in its own build
# directory; not part of make test.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DTW_WERROR=$(WERROR) -DCMAKE_BUILD_TYPE=Debug \
	  -DTW_TESTS=ON -DTW_BENCH=ON \
	  -DCMAKE_C_FLAGS="$(ASAN_FLAGS)" -DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(ASAN_ENV) ctest --output-on-failure -j $(JOBS)

# Fuzzes in-process under AddressSanitizer and UndefinedBehaviorSanitizer,
# FUZZ_SECONDS each: twparser, the parsed-file loader, the history record
# decoder, the bridge's log formats, and the table readers (which create
# a table, so they run in a private /tmp and IPC namespace).  Not part of
# make test.
fuzz: deps
	$(MAKE) deps DEB_PKGS="clang libclang-rt-14-dev"
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DTW_FUZZ=ON \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$(FUZZ_FLAGS)" \
	  -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target twparser_fuzz \
	  loader_fuzz history_fuzz table_fuzz dante_fuzz jsonl_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/loader_corpus \
	  $(FUZZ_BUILD)/history_corpus $(FUZZ_BUILD)/table_corpus \
	  $(FUZZ_BUILD)/dante_corpus $(FUZZ_BUILD)/jsonl_corpus
	$(FUZZ_BUILD)/bin/twparser_fuzz $(FUZZ_RUN) -dict=tests/fuzz/rules.dict \
	  $(FUZZ_BUILD)/corpus tests/fuzz/corpus examples
	$(FUZZ_BUILD)/bin/loader_fuzz $(FUZZ_RUN) -dict=tests/fuzz/rules.dict \
	  $(FUZZ_BUILD)/loader_corpus tests/fuzz/loader_corpus
	$(FUZZ_BUILD)/bin/history_fuzz $(FUZZ_RUN) \
	  $(FUZZ_BUILD)/history_corpus tests/fuzz/history_corpus
	$(FUZZ_BUILD)/bin/dante_fuzz $(FUZZ_RUN) \
	  $(FUZZ_BUILD)/dante_corpus tests/fuzz/bridge_corpus
	$(FUZZ_BUILD)/bin/jsonl_fuzz $(FUZZ_RUN) \
	  $(FUZZ_BUILD)/jsonl_corpus tests/fuzz/bridge_corpus
	tests/nsrun.sh $(FUZZ_BUILD)/bin/table_fuzz $(FUZZ_RUN) \
	  -max_len=31744 $(FUZZ_BUILD)/table_corpus tests/fuzz/table_corpus

# PREFIX (default /usr/local) and DESTDIR as usual.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A .deb of the programs, pages, unit and table library, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(ASAN_BUILD)
