# Thin wrapper over the CMake presets.
JOBS ?= 2

.PHONY: setup test build demo bench clean

setup:
	@bash scripts/setup.sh

# Configures, builds and runs every test in the default, asan and tsan presets, and in the
# windows preset (cross build, tests under Wine) when mingw-w64 and Wine are installed.
test: setup
	@set -e; presets="default asan"; \
	if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then \
	    presets="$$presets windows"; \
	else \
	    echo "== windows: skipped, mingw-w64 or wine is not installed =="; \
	fi; \
	for preset in $$presets tsan; do \
	    echo "== $$preset =="; \
	    cmake --preset $$preset >/dev/null; \
	    cmake --build --preset $$preset -j $(JOBS); \
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

clean:
	rm -rf build
