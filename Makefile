# Entry points for a fresh Debian 12 machine; see README.md.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# Warnings in product code fail the default build (as in CI).
WERROR     ?= ON
UART_TEST  ?= yes

.PHONY: all deps build run test uart-test uart-deps format-check package package-check bench asan tsan fuzz clean

all: build

deps:
	@scripts/deps.sh build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPMV_WERROR=$(WERROR) $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Builds the programs (the host, the simulator, the checker, pmv-ports and
# pmv-link; not the tests and benchmarks), starts the bundled target simulator
# and the host.
run:
	@scripts/deps.sh run
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target pmv-host qxm-sim pmv-configcheck pmv-ports pmv-link
	@scripts/run-host.sh $(BUILD)

# Builds and runs the whole test suite (no display needed), then the UART test.
test: format-check build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600
ifeq ($(UART_TEST),yes)
	@$(MAKE) --no-print-directory uart-test
endif

uart-deps:
	@scripts/deps.sh uart

# The serial layer and component against a real UART driver: an emulated
# machine with a 16550A (tests/uart/run-uart-test.sh). Builds only its two programs.
uart-test: uart-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target uart-guest uart-check
	tests/uart/run-uart-test.sh $(BUILD)

# Fails when a C++ file differs from .clang-format (--fix rewrites them) or
# includes a header from a layer above its own.
format-check: deps
	@scripts/check-format.sh
	@scripts/check-layers.sh

# The Debian package: $(BUILD)/pmv-host_<version>_<arch>.deb.
package: build
	@scripts/deps.sh package
	cmake --build $(BUILD) --target package

# Checks the package: its files, its programs, the desktop and AppStream
# validators and lintian.
package-check: package
	@scripts/check-package.sh $(BUILD)

bench: build
	@scripts/deps.sh bench
	scripts/run-bench.sh $(BUILD)

asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan WERROR=OFF UART_TEST=no CMAKE_ARGS="-DPMV_SANITIZE=ON -DPMV_BUILD_BENCH=OFF"

tsan:
	@$(MAKE) --no-print-directory test BUILD=build-tsan WERROR=OFF UART_TEST=no CMAKE_ARGS="-DPMV_TSAN=ON -DPMV_BUILD_BENCH=OFF"

fuzz:
	@scripts/deps.sh fuzz
	scripts/run-fuzz.sh

clean:
	rm -rf build build-asan build-tsan build-fuzz
