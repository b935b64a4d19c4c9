# Two commands do all the set-up on a fresh Debian machine: `make demo` and `make test`.
# Each installs what is missing (as root), builds, and runs.

# Two lists: what building and running the wizard needs (make demo, make install, make package),
# and what testing needs besides (make test, make windows, make screenshots, make bench).
# qt6-base-dev: the desktop window; fonts-dejavu-core: its font (the desktop tests measure it).
# dpkg-dev: dpkg-shlibdeps, which finds the package's dependencies.
RUN_PACKAGES := cmake ninja-build g++ make pkg-config libfmt-dev libncurses-dev libcli11-dev \
                nlohmann-json3-dev qt6-base-dev fonts-dejavu-core dpkg-dev
# qemu-system-x86 and busybox-static: the engine's checks on a real UART driver boot a QEMU guest
# (its kernel, Debian's cloud image, is downloaded by the test into the build tree, not installed).
# clang-format: the check that the tree is as `make format` writes it.
# lintian and man-db: the package's test checks it and its manual page.
# xz-utils: the USB guest boots the vmlinux unpacked from Debian's full kernel image.
TEST_PACKAGES := $(RUN_PACKAGES) clang libclang-rt-14-dev \
                 libgtest-dev libgmock-dev libbenchmark-dev libboost-dev tmux qemu-system-x86 busybox-static \
                 g++-mingw-w64-x86-64-posix googletest wine wine64 \
                 nsis xvfb fonts-wine lintian man-db xz-utils clang-format
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps deps-run build windows test fuzz-long demo bench format format-check clean install package screenshots screenshots-windows screenshots-desktop

all: build

# Install the missing Debian packages of a list when run as root; otherwise print the exact line to
# run. deps: everything (the tests); deps-run: only what building and running the wizard needs.
define install-missing
	@missing=$$(for p in $(1); do \
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
endef

deps:
	$(call install-missing,$(TEST_PACKAGES))

deps-run:
	$(call install-missing,$(RUN_PACKAGES))

# A tree is configured once (its first make target does it, after that target's packages).
configure = test -f build/$(1)/build.ninja || cmake --preset $(1)

build: deps
	$(call configure,debug)
	cmake --build --preset debug -j $(JOBS)

# The Windows folder, build/windows/bin: the programs cross-built with mingw-w64 (linked
# statically), Reflasher.exe, prog.exe, the firmware image and the test programs that run under
# Wine; and build/windows/dist: the installer Reflasher-<version>-setup.exe (NSIS) and a .zip.
windows: deps
	$(call configure,windows)
	cmake --build --preset windows -j $(JOBS)

# Pictures of the pages for the README, in docs/screenshots: as each back end draws them.
screenshots: screenshots-windows screenshots-desktop

# The Windows pages, in a Wine virtual desktop on Xvfb, at 100 % and 150 % (fonts-wine: Tahoma).
screenshots-windows: deps
	$(call configure,windows)
	cmake --build --preset windows -j $(JOBS) --target wizard_screenshots
	build/windows/wine/take-screenshots docs/screenshots

# ThreadSanitizer tree, fuzzing and the Windows tree (under Wine) first; the debug suite runs last,
# so the output ends with its summary.
test: deps
	$(call configure,debug)
	$(call configure,tsan)
	$(call configure,fuzz)
	$(call configure,windows)
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
demo: deps-run
	$(call configure,release)
	cmake --build --preset release -j $(JOBS) --target reflasher receiver-sim prog firmware_images
	@build/release/bin/run-demo $(DEMO_ARGS)

# The wizard under $(PREFIX) (DESTDIR honoured): $(PREFIX)/libexec/reflasher/reflasher, linked from
# $(PREFIX)/bin, its manual page and bash completion, and with Qt the desktop entry and icons.
# prog.exe and the firmware files are not installed: they go beside the wizard in
# $(PREFIX)/libexec/reflasher.
install: deps-run
	$(call configure,release)
	cmake --build --preset release -j $(JOBS) --target reflasher reflasher_icons reflasher_manual
	cmake --install build/release --prefix $(PREFIX)

# The Debian package build/release/reflasher_<version>_amd64.deb (the same files as make install,
# under /usr).
package: deps-run
	$(call configure,release)
	cmake --build --preset release -j $(JOBS) --target reflasher_deb

# The desktop window's pages as Qt draws them (offscreen).
screenshots-desktop: deps
	cmake --preset release -DREFLASHER_TESTS=ON >/dev/null
	cmake --build --preset release -j $(JOBS) --target desktop-screenshots prog firmware_images
	QT_QPA_PLATFORM=offscreen build/release/bin/desktop-screenshots docs/screenshots

bench: deps
	cmake --preset release -DREFLASHER_TESTS=ON >/dev/null
	cmake --build --preset release -j $(JOBS)
	build/release/bin/run-benchmarks bench/RESULTS.md

format:
	git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i

format-check:
	tools/format-check

clean:
	rm -rf build
