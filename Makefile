# Front door for people: make deps, make, make test, make bench.
BUILD   ?= build
WERROR  ?= $(if $(CI),ON,OFF)
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

DEB_PKGS = cmake g++ flex bison libgdbm-dev libgdbm-compat-dev \
           libgtest-dev libgmock-dev libbenchmark-dev

.PHONY: all deps build test bench clean

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
	$(BUILD)/bin/tw_bench

clean:
	rm -rf $(BUILD)
