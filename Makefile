# Kwelmora: the two commands of the README, and the steps behind them.
.PHONY: all deps build test bench demo dist format clean

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

# zrvtool and the release x86_64 DLL under wine64, against zrvsim on a pty.
demo: deps
	bash scripts/demo.sh

# The native side (zrvsim, libzrvline.so and their tests), and the end-to-end
# tests of the release x86_64 DLL through Wine's serial stack (also in make test).
.PHONY: native e2e
native: deps
	cmake -S linesim -B build/native
	cmake --build build/native -j2

e2e: build native
	bash tests/e2e/run-e2e.sh

# The archive for users: both DLLs, import libraries, .def, header, zrvtool, guide.
dist: build
	bash scripts/dist.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build
