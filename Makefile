# Thin wrapper around CMake/CTest. Every entry point installs what it needs first
# (apt-get, when run as root and something is missing), then configures and builds.

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

BUILD_PKGS := g++ cmake make pkg-config openssl libssl-dev libgtest-dev libgmock-dev \
              libpcsclite-dev libbenchmark-dev libp11-kit-dev
DEMO_PKGS  := openssh-client
TEST_PKGS  := pcscd vsmartcard-vpcd opensc valgrind gnutls-bin libengine-pkcs11-openssl libnss3-tools \
              openssh-client openssh-server p11-kit dpkg-dev lintian man-db \
              openjdk-17-jdk-headless libpam-pkcs11 pamtester openvpn iproute2 \
              gnupg gnupg-pkcs11-scd git osslsigncode python3 firefox-esr chromium xvfb xdotool imagemagick
# Debian 12's clang 16: the default clang 14 with libstdc++ 12 has no
# std::source_location, which the DAL's log uses.
FUZZ_CLANG := 16
FUZZ_PKGS  := clang-$(FUZZ_CLANG) libclang-rt-$(FUZZ_CLANG)-dev

PREFIX     ?= /usr/local
DESTDIR    ?=

.PHONY: all build test demo bench fuzz deps deps-test deps-demo deps-fuzz clean install deb

all: build

# mawk, Debian's awk, waits for a full buffer from a pipe unless told to read
# line by line.
LINE_AWK := awk$(if $(shell awk -W version 2>&1 </dev/null | grep mawk), -W interactive)

# Installs the Debian packages named in $(1) that are not installed yet,
# naming them first, and showing apt's download and set-up lines as they come
# (apt's exit status is carried through the filter).
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    { apt-get update && apt-get install -y --no-install-recommends $$missing; echo "apt-exit $$?"; } 2>&1 | \
	      $(LINE_AWK) '/^apt-exit / { rc = $$2; next } \
	           /^(Get:|Hit:|Unpacking |Setting up |E: |W: )/ { print "  " $$0; fflush() } \
	           END { exit rc }'; \
	  else \
	    echo "Missing packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call apt_install,$(BUILD_PKGS))

deps-test: deps
	$(call apt_install,$(TEST_PKGS))

# The demonstration's last step lists the token's key with ssh-keygen.
deps-demo: deps
	$(call apt_install,$(DEMO_PKGS))

deps-fuzz: deps
	$(call apt_install,$(FUZZ_PKGS))

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite twice: the normal build (with valgrind memcheck over the
# end-to-end suite), then a build under AddressSanitizer and
# UndefinedBehaviorSanitizer (unoptimised, which builds fastest), where every
# test runs again, fuzz corpus replays included.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
                 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/hardening/lsan.supp \
                 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Each stage says its name first, so that a long run shows where it is.
stage = @echo "== make test: $(1)"

test:
	$(call stage,packages)
	@$(MAKE) --no-print-directory deps-test
	$(call stage,build)
	@$(MAKE) --no-print-directory build
	$(call stage,tests)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(call stage,sanitizer build)
	cmake -S . -B $(BUILD_ASAN) -DPELU7_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	$(call stage,sanitizer tests)
	cd $(BUILD_ASAN) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)
	$(call stage,Windows)
	@$(MAKE) --no-print-directory windows-test
	$(call stage,done)

# libFuzzer over every target for FUZZ_TIME seconds each, in a clang build.
# Each target grows its corpus in $(BUILD_FUZZ)/corpus/<target> from the seeds
# in fuzz/corpus/<target>; a crashing input lands in
# $(BUILD_FUZZ)/findings/<target>/ (copy it into fuzz/corpus/<target> once
# fixed, so that the replay test keeps it).
FUZZ_TARGETS := hostile_card vtoken_apdu token_state cipher_stream pkcs11_files pkcs11_templates
FUZZ_TIME    ?= 600

fuzz: deps-fuzz
	cmake -S . -B $(BUILD_FUZZ) -DPELU7_FUZZ=ON -DCMAKE_C_COMPILER=clang-$(FUZZ_CLANG) \
	  -DCMAKE_CXX_COMPILER=clang++-$(FUZZ_CLANG) $(CMAKE_ARGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzzers
	@for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$target $(BUILD_FUZZ)/findings/$$target || exit 1; \
	  echo "== $$target, $(FUZZ_TIME) s"; \
	  $(BUILD_FUZZ)/bin/$${target}_fuzzer -max_total_time=$(FUZZ_TIME) -timeout=20 -print_final_stats=1 \
	    -artifact_prefix=$(BUILD_FUZZ)/findings/$$target/ \
	    $(BUILD_FUZZ)/corpus/$$target fuzz/corpus/$$target || exit 1; \
	done

# Installs the header, the two libraries (SONAME .so.1), the tool and its
# manual page, the pkg-config file, the CMake package and the PKCS#11 module
# with its p11-kit registration under PREFIX, inside DESTDIR when given.
# Installed into the system as root, the loader's cache is updated, so that
# programs (and p11-kit, loading the module) find the new libraries.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" = 0 ]; then ldconfig; fi

# The Debian packages (runtime, development, tool) in $(BUILD)/deb/.
deb: deps build
	$(call apt_install,dpkg-dev)
	cd $(BUILD) && cpack -G DEB -B $(CURDIR)/$(BUILD)/deb

# The demonstration on the terminal: a few lines say what the set-up is doing
# (packages, then the build of the tool with a progress figure; the detail goes
# to a log shown only when a step fails), then the demonstration itself.
demo:
	@JOBS=$(JOBS) ./tools/pelu7/demo_build.sh $(BUILD)
	@./tools/pelu7/demo.sh $(BUILD)

# Only the benchmark program is built: at -O3 GCC 12 warns falsely (and
# -Werror stops the build) in some test programs.
bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target pelu7_bench
	@if [ -x $(BUILD)/bin/pelu7_bench ]; then $(BUILD)/bin/pelu7_bench; else echo "no benchmarks built yet"; exit 1; fi
	@# The PC/SC row over a private pcscd (root, and the test packages, are needed).
	cmake --build $(BUILD) -j $(JOBS) --target pelu7_pcsc_bench pelu7_pcsc_lock_bench
	@if ! command -v pcscd >/dev/null || [ ! -e /usr/lib/pcsc/drivers/serial/libifdvpcd.so ]; then \
	  echo "PC/SC rows skipped: pcscd and vsmartcard-vpcd are not installed (make test installs them)"; \
	else for b in pelu7_pcsc_bench pelu7_pcsc_lock_bench; do \
	  ./tests/pcsc/run_in_namespace.sh $(BUILD)/bin/$$b || { rc=$$?; [ $$rc = 77 ] && echo "PC/SC row skipped"; [ $$rc = 77 ]; } || exit 1; done; fi

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)

# The 32-bit Windows build with mingw-w64, tested under Wine: installs the
# toolchain and Wine (as root), cross-builds libcrypto and GoogleTest once
# into a cache outside the clone (see windows/scripts/env.sh), makes the Wine
# prefix once, then configures and builds $(BUILD_WIN) from the top-level
# CMakeLists.txt ($(BUILD_WIN)/bin: vorn_dal_pelu7.dll, TKRDR.dll, pelu7.exe).
# windows-test runs the Windows suite under Wine (part of `make test`).
BUILD_WIN ?= build-win

.PHONY: windows windows-test

windows:
	@JOBS=$(JOBS) sh windows/scripts/build.sh $(BUILD_WIN)

# With the Linux tool built, the tool test also exchanges token files with it.
windows-test: windows
	@. windows/scripts/env.sh && export PELU7_LINUX_TOOL=$(CURDIR)/$(BUILD)/bin/pelu7 && \
	  cd $(BUILD_WIN) && ctest --output-on-failure --timeout 300
