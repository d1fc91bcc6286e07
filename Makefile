# The README's commands: `make demo` and `make test` set everything up themselves.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed

.PHONY: demo test test-sanitize install bench clean

$(DEPS): requirements.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet -r requirements.txt
	touch $(DEPS)

# Rebuilds incrementally in build/<wheel tag> and installs into the virtual environment.
install: $(DEPS)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

# The suite and random calls against a build under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: $(DEPS)
	tools/sanitize.sh

# Each allocation of each call failed in turn, in the installed build and the sanitizer build.
.PHONY: test-alloc
test-alloc: install
	tools/sanitize.sh --build-only
	$(PY) tools/alloc_failure.py --build release --build sanitize

# The suite and the allocation-failure run against a build with gcov's counters (tools/coverage.sh,
# in build/coverage): a table of the lines, branches and functions of src/ that ran; fails below its floors.
.PHONY: coverage
coverage: $(DEPS)
	tools/coverage.sh

bench: install
	$(PY) bench/display.py
	$(PY) bench/train_router.py
	$(PY) bench/demo.py

clean:
	rm -rf build $(VENV)

# The platform layer's check program with each toolchain here (Windows's under wine), and the
# modules built with clang and libc++ and without stack bounds, each against the suite: tools/targets/platforms.sh.
.PHONY: test-platforms
test-platforms: install
	tools/targets/platforms.sh

# Every CPython from 3.9 to 3.13: tools/targets/matrix.sh, in build/matrix/. The wheels of those, of 3.14 and
# 3.15 for x86-64 and of 3.9, 3.11, 3.13, 3.14 and 3.15 for aarch64, checked by auditwheel, in
# build/wheelhouse/; the Windows x64 wheels of 3.9 to 3.13 beside them, tested under wine in the
# official CPython (tools/targets/windows.sh); the macOS arm64 and x86_64 wheels, built and never
# run, in build/macos/wheelhouse/ (tools/targets/macos.sh).
.PHONY: test-matrix wheels
test-matrix:
	tools/targets/matrix.sh test

# The Windows suites under wine mostly wait on wineserver: the macOS wheels build meanwhile, and
# each step's output comes whole when it ends.
wheels:
	tools/targets/matrix.sh wheels
	$(MAKE) --no-print-directory -j2 --output-sync=target wheels-windows wheels-macos

.PHONY: wheels-windows wheels-macos
wheels-windows:
	tools/targets/windows.sh

wheels-macos:
	tools/targets/macos.sh

# 32-bit ARM hard-float, cross-built and tested under qemu-arm: tools/targets/armhf.sh, in build/armhf/.
.PHONY: test-armhf
test-armhf:
	tools/targets/armhf.sh

# CPython 3.14 with torch 2.14, and 3.15, in a Debian unstable chroot: tools/targets/current.sh, in build/current/.
.PHONY: test-current
test-current:
	tools/targets/current.sh

# 64-bit ARM, cross-built and tested under qemu-aarch64 on each arm64 CPython Debian has (3.9, 3.11,
# 3.13, 3.14, 3.15): tools/targets/aarch64.sh, in build/aarch64*/.
.PHONY: test-aarch64
test-aarch64:
	tools/targets/aarch64.sh

# The routing module's tests on Debian's x86-64 torch: 1.13.1 (Debian 12, CPython 3.11), the oldest
# declared, and 2.6.0 (Debian 13, CPython 3.13): tools/targets/debian_torch.sh, in build/<release>-amd64/.
.PHONY: test-debian-torch
test-debian-torch:
	tools/targets/debian_torch.sh
