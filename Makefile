# Kwelmora: the two commands of the README, and the steps behind them.
.PHONY: all deps build test bench demo dist format clean

all: build

# Installs the toolchains, Wine, CMake and the GoogleTest sources when missing.
deps:
	bash scripts/install-deps.sh

# The Windows legs of make test: LEGS=x86_64 (or LEGS=i686) runs one alone.
LEGS ?= x86_64 i686

build: deps
	cmake --preset i686
	cmake --build --preset i686
	cmake --preset x86_64
	cmake --build --preset x86_64

# Builds both DLLs and the tests, then runs every test, leg by leg: the x86_64
# programs under the machine's Wine, the i686 ones under Debian sid's Wine 10 in
# WoW64 mode from a chroot (made on first use by install-deps.sh --wow64).
test: build
	$(if $(findstring i686,$(LEGS)),bash scripts/install-deps.sh --wow64)
	LEGS="$(LEGS)" bash scripts/run-tests.sh

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
