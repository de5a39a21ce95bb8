# Kwelmora: the two commands of the README, and the steps behind them.
.PHONY: all deps build test bench demo format clean

all: build

# Installs the toolchains, wine64, CMake and the GoogleTest sources when missing.
deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset i686
	cmake --build --preset i686
	cmake --preset x86_64
	cmake --build --preset x86_64

# Builds both DLLs and the tests, then runs every test (the Windows programs under wine64).
test: build
	bash scripts/run-tests.sh

# Benchmarks under wine64 (not tests): prints their figures.
bench: build
	bash scripts/run-bench.sh

demo: deps
	@echo "The demo (a ZRV device simulator and zrvtool talking through Kwelmora.dll)"
	@echo "arrives with the device protocol. Until then: make test."

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build
