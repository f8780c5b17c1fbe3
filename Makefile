# Short commands for the usual jobs. Everything builds with two jobs.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all configure build test run demo bench format asan fuzz soak clean install package check-package \
	windows windows-test windows-dist

all: build

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The program against the bundled simulator, which plays an LFS server with
# a crowd of drivers on local ports.
run: build
	scripts/run-demo $(BUILD)

# The window is built too: the table compares the memory of the installed
# programs, headless and window, installed (stripped) into build-bench/shipped.
bench:
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Release -DPM_BUILD_BENCH=ON -DPM_BUILD_UI=ON"
	cmake --install build-bench --prefix $(CURDIR)/build-bench/shipped --strip >/dev/null
	scripts/run-bench build-bench

# Leak checking stays on; tests/lsan.supp names the system libraries whose
# process-lifetime allocations are not leaks of ours.
asan:
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  $(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DPM_SANITIZE=ON -DPM_BUILD_UI=ON"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-bench build-windows

# ---- Installing and packaging
# The prefix is set when configuring: the systemd unit names the installed
# program by it. DESTDIR works as usual.
PREFIX ?= /usr/local

# systemd finds units under /usr and /usr/local; from any other prefix the
# admin enables the unit by its path, which links it in.
PM_PREFIX = $(patsubst %/,%,$(PREFIX))
ifneq ($(filter /usr /usr/local,$(PM_PREFIX)),)
PM_ENABLE_UNIT = paddock-marshal
else
PM_ENABLE_UNIT = $(PM_PREFIX)/lib/systemd/system/paddock-marshal.service
endif

# Installs no user and no start-up file, and enables nothing: the last line
# says what is left to the admin.
install:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j$(JOBS)
	cmake --install $(BUILD)
	@echo "Left to do as root: systemd-sysusers $(PM_PREFIX)/lib/sysusers.d/paddock-marshal.conf;" \
	  "install -d -m 0750 -g paddock-marshal /etc/paddock-marshal and put your servers in" \
	  "/etc/paddock-marshal/autostart.cfg; systemctl daemon-reload; systemctl enable --now $(PM_ENABLE_UNIT)"

# The Debian packages paddock-marshal and paddock-marshal-gui, in $(BUILD).
package:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && cpack -G DEB

# The packages and the install rules checked, without installing anything.
check-package: package
	scripts/check-package $(BUILD)

# ---- Fuzzing, soak and memory checks
# The fuzz programs land in FUZZ_BUILD (its own CMake tree): libFuzzer with
# ASan and UBSan under clang, the standalone driver under g++ otherwise.
FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 45
# fuzz-long: each target to FUZZ_RUNS inputs, or FUZZ_LONG_SECONDS each (0: no limit).
FUZZ_RUNS ?= 10000000
FUZZ_LONG_SECONDS ?= 0
SOAK_MINUTES ?= 10
SOAK_SERVERS ?= 100
SOAK_SECONDS ?= $(shell echo $$(( $(SOAK_MINUTES) * 60 )))
# The SIGKILL crash test runs about as long as the soak: a kill takes ~1.2 s.
CRASH_KILLS ?= $(shell echo $$(( $(SOAK_SECONDS) * 5 / 6 )))

.PHONY: fuzz-run fuzz-long memcheck

fuzz:
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz-run --build-only

# Each target for FUZZ_SECONDS, from the seed corpus in fuzz/corpus.
fuzz-run:
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz-run

# Each target in turn to FUZZ_RUNS inputs (or FUZZ_LONG_SECONDS), niced; what
# grows the corpus is merged into fuzz/corpus. Prints inputs, inputs/s,
# coverage, peak RSS and time per target.
fuzz-long:
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) FUZZ_RUNS=$(FUZZ_RUNS) FUZZ_LONG_SECONDS=$(FUZZ_LONG_SECONDS) scripts/fuzz-long

# SOAK_SERVERS simulated servers against one headless paddock-marshal for
# SOAK_MINUTES (or SOAK_SECONDS); then the --state crash test with
# CRASH_KILLS kills (`make test` runs it with 50).
soak:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target paddock-marshal paddock-soak crash_tests
	SOAK_SERVERS=$(SOAK_SERVERS) SOAK_SECONDS=$(SOAK_SECONDS) scripts/soak $(BUILD)
	PM_CRASH_KILLS=$(CRASH_KILLS) $(BUILD)/crash_tests --gtest_brief=1

# The app, end-to-end and fault test programs under valgrind's memcheck.
memcheck:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target app_tests fault_tests $(if $(wildcard tests/e2e/*),e2e_tests)
	scripts/memcheck $(BUILD)

# ---- Windows
# Cross-built with mingw-w64 into build-windows: paddock-marshal.exe (the
# headless program only), paddock-sim.exe and the test programs without Qt.
WINDOWS_BUILD ?= build-windows

windows:
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(WINDOWS_CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD) -j$(JOBS)

# The test programs and an end-to-end run of the two programs under Wine
# (headless, a private Wine prefix in $(WINDOWS_BUILD)).
windows-test: windows
	scripts/windows-test $(WINDOWS_BUILD)

# The zip for Windows users, in $(WINDOWS_BUILD).
windows-dist: windows
	scripts/windows-dist $(WINDOWS_BUILD)
