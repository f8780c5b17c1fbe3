# Short commands for the usual jobs. Everything builds with two jobs.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all configure build test run demo bench format asan fuzz soak clean

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

bench:
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Release -DPM_BUILD_BENCH=ON -DPM_BUILD_UI=OFF"
	scripts/run-bench build-bench

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DPM_SANITIZE=ON -DPM_BUILD_UI=ON"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-bench
