# Thin wrapper around CMake/CTest. Every entry point installs what it needs first
# (apt-get, when run as root and something is missing), then configures and builds.

BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

BUILD_PKGS := g++ cmake make pkg-config openssl libssl-dev libgtest-dev libgmock-dev \
              libpcsclite-dev libbenchmark-dev
TEST_PKGS  := pcscd vsmartcard-vpcd opensc valgrind
FUZZ_PKGS  := clang libclang-rt-14-dev

.PHONY: all build test demo bench fuzz deps deps-test deps-fuzz clean

all: build

# Installs the Debian packages named in $(1) that are not installed yet.
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	  else \
	    echo "Missing packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call apt_install,$(BUILD_PKGS))

deps-test: deps
	$(call apt_install,$(TEST_PKGS))

deps-fuzz: deps
	$(call apt_install,$(FUZZ_PKGS))

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: deps-test build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@./tools/pelu7/demo.sh $(BUILD)

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	@if [ -x $(BUILD)/bin/pelu7_bench ]; then $(BUILD)/bin/pelu7_bench; else echo "no benchmarks built yet"; exit 1; fi

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
