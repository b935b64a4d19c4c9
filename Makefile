# Two commands do all the set-up on a fresh Debian machine: `make demo` and `make test`.
# Each installs what is missing (as root), builds, and runs.

# qemu-system-x86 and busybox-static: the engine's checks on a real UART driver boot a QEMU guest
# (its kernel, Debian's cloud image, is downloaded by the test into the build tree, not installed).
# qt6-base-dev: the desktop window and its offscreen tests; fonts-dejavu-core: the font they measure.
PACKAGES := cmake ninja-build g++ make pkg-config clang libclang-rt-14-dev \
            libgtest-dev libgmock-dev libbenchmark-dev libfmt-dev libncurses-dev \
            libboost-dev libcli11-dev nlohmann-json3-dev tmux qemu-system-x86 busybox-static \
            g++-mingw-w64-x86-64-posix googletest wine wine64 \
            nsis xvfb fonts-wine qt6-base-dev fonts-dejavu-core
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build windows test fuzz-long demo bench format clean install screenshots screenshots-windows screenshots-desktop

all: build

# Installs the missing Debian packages when run as root; otherwise prints the exact line to run.
deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing: $$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update && apt-get install -y --no-install-recommends $$missing || exit 1; \
	  else \
	    echo "Missing packages. Run as root:"; \
	    echo "  apt-get update && apt-get install -y --no-install-recommends $$missing"; \
	    exit 1; \
	  fi; \
	fi

build/%/build.ninja: | deps
	cmake --preset $*

build: deps build/debug/build.ninja
	cmake --build --preset debug -j $(JOBS)

# The Windows folder, build/windows/bin: the programs cross-built with mingw-w64 (linked
# statically), Reflasher.exe, prog.exe, the firmware image and the test programs that run under
# Wine; and build/windows/dist: the installer Reflasher-<version>-setup.exe (NSIS) and a .zip.
windows: deps build/windows/build.ninja
	cmake --build --preset windows -j $(JOBS)

# Pictures of the pages for the README, in docs/screenshots: as each back end draws them.
screenshots: screenshots-windows screenshots-desktop

# The Windows pages, in a Wine virtual desktop on Xvfb, at 100 % and 150 % (fonts-wine: Tahoma).
screenshots-windows: deps build/windows/build.ninja
	cmake --build --preset windows -j $(JOBS) --target wizard_screenshots
	build/windows/wine/take-screenshots docs/screenshots

# ThreadSanitizer tree, fuzzing and the Windows tree (under Wine) first; the debug suite runs last,
# so the output ends with its summary.
test: deps build/debug/build.ninja build/tsan/build.ninja build/fuzz/build.ninja build/windows/build.ninja
	cmake --build --preset tsan -j $(JOBS)
	cmake --build --preset fuzz -j $(JOBS)
	cmake --build --preset windows -j $(JOBS)
	cmake --build --preset debug -j $(JOBS)
	ctest --preset tsan
	ctest --preset fuzz
	ctest --preset windows
	ctest --preset debug

# Each fuzzer for 10 million inputs (at most 30 minutes each), and the table in fuzz/RESULTS.md.
fuzz-long: deps build/fuzz/build.ninja
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run-long build/fuzz fuzz/RESULTS.md

# Builds only what the demo runs: the wizard, the simulator, prog.exe and the firmware image. On a
# desktop the wizard opens its window; DEMO_ARGS=--terminal keeps it in the terminal.
demo: deps build/release/build.ninja
	cmake --build --preset release -j $(JOBS) --target reflasher receiver-sim prog firmware_images
	@build/release/bin/run-demo $(DEMO_ARGS)

# The wizard under $(PREFIX) (DESTDIR honoured): $(PREFIX)/libexec/reflasher/reflasher, linked from
# $(PREFIX)/bin, and with Qt the desktop entry and icon. prog.exe and the firmware files are not
# installed: they go beside the wizard in $(PREFIX)/libexec/reflasher.
install: deps build/release/build.ninja
	cmake --build --preset release -j $(JOBS) --target reflasher reflasher_icons
	cmake --install build/release --prefix $(PREFIX)

# The desktop window's pages as Qt draws them (offscreen).

screenshots-desktop: deps build/release/build.ninja
	cmake --build --preset release -j $(JOBS) --target desktop-screenshots prog firmware_images
	QT_QPA_PLATFORM=offscreen build/release/bin/desktop-screenshots docs/screenshots

bench: deps build/release/build.ninja
	cmake --build --preset release -j $(JOBS)
	build/release/bin/run-benchmarks bench/RESULTS.md

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
