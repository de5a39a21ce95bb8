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
# programs under the machine's Wine (and, where that is older than Wine 10, the
# end-to-end tests again under Debian 13's Wine 10 from a chroot), the i686 ones
# under Debian 12's Wine 8 with its 32-bit side, from a chroot. scripts/run-tests.sh
# makes the chroots on first use (scripts/wine-root.sh, about 3.6 GB in
# /var/cache/kwelmora) and, where the kernel runs no 32-bit programs, registers a
# binfmt_misc handler that runs them through qemu-i386 (scripts/i386-binfmt.sh;
# the README says how to undo both).
test: build
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
