# Thin wrapper over the CMake presets.
JOBS ?= 2

.PHONY: setup test build demo bench fuzz fuzz-long package mutants clean

setup:
	@bash scripts/setup.sh

# Configures, builds and runs every test in the default, asan and tsan presets; in the windows
# preset (cross build, tests under Wine) when mingw-w64 and Wine are installed; in the
# windows-x86 preset when mingw-w64's i686 compiler is installed and 32-bit Wine runs
# (scripts/have-wine32.sh says why not; the package preset still builds the x86 zip); the fuzz
# preset's smoke runs when clang can link libFuzzer; and the package preset's checks of the
# zip and the .deb (built by scripts/package.sh) when the packaging tools are installed. The
# emulated device tests (umockdev) run in the default and asan presets when umockdev is
# installed.
test: setup
	@set -e; presets="default asan"; \
	if ! pkg-config --exists umockdev-1.0 2>/dev/null; then \
	    echo "== emulated device tests: skipped, umockdev is not installed =="; \
	fi; \
	if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then \
	    presets="$$presets windows"; \
	else \
	    echo "== windows: skipped, mingw-w64 or wine is not installed =="; \
	fi; \
	if ! command -v i686-w64-mingw32-g++-posix >/dev/null; then \
	    echo "== windows-x86: skipped, mingw-w64's i686 compiler is not installed =="; \
	elif x86_refused=$$(bash scripts/have-wine32.sh); then \
	    presets="$$presets windows-x86"; \
	else \
	    echo "== windows-x86: skipped, $$x86_refused: its unit, serial and database tests, wine_update and wine_hid_tests need 32-bit Wine =="; \
	fi; \
	if bash scripts/have-libfuzzer.sh; then \
	    presets="$$presets fuzz"; \
	else \
	    echo "== fuzz: skipped, clang or its libFuzzer runtime is not installed =="; \
	fi; \
	if missing=$$(bash scripts/have-package-tools.sh); then \
	    presets="$$presets package"; \
	else \
	    echo "== package: skipped, not installed: $$missing =="; \
	fi; \
	for preset in $$presets tsan; do \
	    echo "== $$preset =="; \
	    if [ $$preset = package ]; then \
	        JOBS=$(JOBS) bash scripts/package.sh build/package/dist; \
	    else \
	        cmake --preset $$preset >/dev/null; \
	        cmake --build --preset $$preset -j $(JOBS); \
	    fi; \
	    ctest --preset $$preset; \
	done

# Builds the tools, makes a sample firmware file and updates a simulated scanner with it.
demo: setup
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target scanflash-demo scanfw
	@bash scripts/demo.sh build/default

build: setup
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

bench: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bench/*_bench; do "$$b"; done

# libFuzzer targets (clang): a few seconds each as CTest tests, or FUZZ_SECONDS each.
FUZZ_TARGETS = bin_image pak_package qfp_package firmware_loader device_replies
FUZZ_SECONDS ?= 600
fuzz:
	@bash scripts/setup.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	ctest --preset fuzz

fuzz-long: fuzz
	@set -e; for t in $(FUZZ_TARGETS); do \
	    echo "== fuzz_$$t for $(FUZZ_SECONDS) s =="; \
	    build/fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	        -print_final_stats=1 -artifact_prefix=build/fuzz/fuzz/ \
	        build/fuzz/fuzz/corpus/$$t build/fuzz/fuzz/seeds/$$t; \
	done

# The Windows zip and the Debian package, into dist/.
package: setup
	@JOBS=$(JOBS) bash scripts/package.sh dist

# Plants one fault at a time in the sources a preset's build compiles (the portable core and
# that system's platform code) and runs the suite against each (not part of make test).
# MUTANTS=N SEED=S runs a seeded sample; MUTANT_PRESET=windows mutates the Windows build and
# judges it under Wine; see scripts/mutants.py.
mutants: setup
	@MUTANTS="$(MUTANTS)" SEED="$(SEED)" MUTANT_PRESET="$(MUTANT_PRESET)" JOBS=$(JOBS) \
	    nice -n 10 python3 scripts/mutants.py

clean:
	rm -rf build dist
