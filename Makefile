# Thin wrapper over the CMake presets.
JOBS ?= 2

.PHONY: setup test build demo bench fuzz fuzz-long clean

setup:
	@bash scripts/setup.sh

# Configures, builds and runs every test in the default, asan and tsan presets.
test: setup
	@set -e; for preset in default asan tsan; do \
	    echo "== $$preset =="; \
	    cmake --preset $$preset >/dev/null; \
	    cmake --build --preset $$preset -j $(JOBS); \
	    ctest --preset $$preset; \
	done

build: setup
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

bench: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bench/*_bench; do "$$b"; done

# libFuzzer targets (clang): a few seconds each as CTest tests, or FUZZ_SECONDS each.
FUZZ_TARGETS = bin_image pak_package qfp_package firmware_loader
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

clean:
	rm -rf build
