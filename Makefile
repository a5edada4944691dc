# Front door for people: make deps, make, make test, make bench.
BUILD   ?= build
WERROR  ?= $(if $(CI),ON,OFF)
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

DEB_PKGS = cmake g++ flex bison libgdbm-dev libgdbm-compat-dev \
           libgtest-dev libgmock-dev libbenchmark-dev

FUZZ_SECONDS ?= 600
FUZZ_BUILD   ?= build-fuzz
FUZZ_FLAGS    = -g -O1 -fsanitize=address,undefined,fuzzer-no-link \
                -fno-sanitize-recover=undefined

.PHONY: all deps build test bench fuzz demo kill-run clean

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

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DTW_WERROR=$(WERROR)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD) -DTW_WERROR=$(WERROR)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	for b in $(BUILD)/bin/tw_*bench; do $$b; done

# tollwatch killed 20 times at random moments under load and refreshes;
# every restart must find the history whole.  Not part of make test.
kill-run: build
	@B=$(abspath $(BUILD))/bin; tests/nsrun.sh $(CURDIR)/tests/kill_run.sh \
	  $$B/tollwatch $$B/twparser $$B/monfeed $$B/twhistory 20

# The daemon at work on the example rules and traffic, in a private /tmp.
demo: build
	@tests/nsrun.sh tools/demo.sh $(abspath $(BUILD))/bin $(CURDIR)/examples

# Fuzzes twparser in-process under AddressSanitizer and UndefinedBehavior-
# Sanitizer for FUZZ_SECONDS; not part of make test.
fuzz: deps
	$(MAKE) deps DEB_PKGS="clang libclang-rt-14-dev"
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DTW_FUZZ=ON \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$(FUZZ_FLAGS)" \
	  -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target twparser_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/bin/twparser_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -timeout=10 -dict=tests/fuzz/rules.dict \
	  $(FUZZ_BUILD)/corpus tests/fuzz/corpus

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
