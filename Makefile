# The two commands: `make run` and `make test`. Both install what is missing
# first (scripts/install-deps.sh), then configure and build: `make run` only
# what the Linux program takes, `make test` also what its suite runs, the
# Windows build, and the Debian 13 chroot in which the Windows suite runs
# under Wine and the Linux suite runs once more.

BUILD      ?= build
BUILD_SAN  ?= build-sanitize
BUILD_TSAN ?= build-tsan
BUILD_WIN  ?= build-win
BUILD_TRIXIE ?= build-trixie
GENERATOR  := -G Ninja
# CTest's jobs: the tests mostly wait (on their sound servers, displays and
# seconds-long recordings), so twice the cores' count of them keeps the
# machine busy; at two on two cores the plain suite kept 0.6 cores busy.
TEST_JOBS  ?= 4

.PHONY: run test check test-windows test-trixie bench deps deps-test deps-windows build build-sanitize build-tsan \
        build-windows build-trixie trixie-root windows-deps install uninstall deb

deps:
	@scripts/install-deps.sh

# Everything `make test` needs, in one go: the Linux suite's tools and the
# Windows build's.
deps-test:
	@scripts/install-deps.sh --test --windows

deps-windows:
	@scripts/install-deps.sh --windows

build: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)

# Sonaret ends with 2 (closed), 1 (OK) or 0 (its window could not be made).
run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "make run: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2; \
	  echo "Sonaret is a window program: run it from a desktop session, or under Xvfb." >&2; \
	  exit 1; \
	fi
	@status=0; $(BUILD)/app/sonaret || status=$$?; \
	if [ $$status -eq 0 ]; then echo "make run: Sonaret could not open its window on this display." >&2; exit 1; fi; \
	[ $$status -le 2 ]

# Installs the program with its menu entry, icons, software-centre metadata
# and manual page under PREFIX (and under DESTDIR, for those who stage a
# package), stripped of its debugging information, noting the folders it
# makes (scripts/install.sh).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" scripts/install.sh $(BUILD) "$(PREFIX)"

# Removes those files again, and the folders the install made once they are
# empty (same PREFIX and DESTDIR).
uninstall:
	DESTDIR="$(DESTDIR)" scripts/uninstall.sh $(BUILD) "$(PREFIX)"

# The Debian package of the same files under /usr: $(BUILD)/deb/sonaret_*.deb,
# its library dependencies computed from the program by dpkg-shlibdeps.
deb: build
	@scripts/install-deps.sh --deb
	cpack --config $(BUILD)/CPackConfig.cmake -B $(abspath $(BUILD))/deb
	@ls $(BUILD)/deb/*.deb

# The whole suite, then again under AddressSanitizer + UndefinedBehaviorSanitizer,
# and under ThreadSanitizer; then the Windows build's suite under Wine; then
# the plain suite on Debian 13. The Debian 13 chroot's making (once) and the
# five builds go side by side, three at a time, the chroot first: it waits
# mostly on the archive while the builds compile. Each one's output comes
# whole, when it is done.
test: deps-test
	$(MAKE) --no-print-directory -j3 --output-sync=target trixie-root build-windows build \
	  build-sanitize build-tsan build-trixie
	ctest --test-dir $(BUILD) -j$(TEST_JOBS) --output-on-failure
	ctest --test-dir $(BUILD_SAN) -j$(TEST_JOBS) --output-on-failure
	ctest --test-dir $(BUILD_TSAN) -j$(TEST_JOBS) --output-on-failure
	$(MAKE) --no-print-directory test-windows
	$(MAKE) --no-print-directory test-trixie

# The quick loop while working: the plain Linux suite only.
check: build
	@scripts/install-deps.sh --test
	ctest --test-dir $(BUILD) -j$(TEST_JOBS) --output-on-failure

test-windows: deps-test build-windows
	ctest --test-dir $(BUILD_WIN) -j$(TEST_JOBS) --output-on-failure

# The Debian 13 chroot (scripts/trixie-root.sh): made once in the cache.
trixie-root: deps-windows
	scripts/trixie-root.sh ensure

# The plain Linux suite in the Debian 13 chroot, built there with Debian 13's
# compiler and libraries and run with its PipeWire, WirePlumber, weston and
# at-spi (the chroot holds them beside Wine).
build-trixie: trixie-root
	scripts/trixie-root.sh run -- sh -c 'cmake -S . -B $(BUILD_TRIXIE) $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build $(BUILD_TRIXIE)'

test-trixie: build-trixie
	scripts/trixie-root.sh run -- ctest --test-dir $(BUILD_TRIXIE) -j$(TEST_JOBS) --output-on-failure

build-sanitize: deps
	cmake -S . -B $(BUILD_SAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DSONARET_SANITIZE=address,undefined
	cmake --build $(BUILD_SAN)

build-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DSONARET_SANITIZE=thread
	cmake --build $(BUILD_TSAN)

# The Windows build: 32-bit, cross-compiled with MinGW-w64; the libraries it
# links are built once into $(BUILD_WIN)/deps. The tests run under Wine 10 in
# a Debian trixie chroot, made once in the user's cache folder (the build
# lists the tests by running them, so the chroot comes first).
windows-deps: deps-windows
	scripts/build-windows-deps.sh $(BUILD_WIN)/deps

build-windows: deps windows-deps trixie-root
	cmake -S . -B $(BUILD_WIN) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DSONARET_WINDOWS_DEPS=$(abspath $(BUILD_WIN))/deps
	cmake --build $(BUILD_WIN)

# The benchmarks. bench/program_cpu.py runs pavucontrol and lame beside
# Sonaret, which nothing else needs: only this target installs them.
bench: build
	@scripts/install-deps.sh --test --bench
	$(BUILD)/bench/bench_encode
	$(BUILD)/bench/bench_capture
	$(BUILD)/bench/bench_level_update
	bench/startup.py $(BUILD)/app/sonaret $(BUILD)/bench/bench_bare_window
	bench/program_cpu.py $(BUILD)/app/sonaret $(BUILD)/bench/bench_encode
