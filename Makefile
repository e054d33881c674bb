# Set-up, build and test. Every target installs what it needs first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup build python run test check tsan fuzz bench bench-build format format-check clean

all: build

setup:
	@scripts/setup

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The Python module alone, into $(BUILD)/python (make build builds it too).
python: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target _qrvx

run: build
	$(BUILD)/bin/qrvx demo --out out/demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests under AddressSanitizer and UndefinedBehaviorSanitizer, then built with clang
# (which warns about other things than GCC) and run again. Warnings are errors in both.
check:
	@scripts/setup --check
	@cmake -S . -B build-check -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQRVX_SANITIZE=ON -DQRVX_WERROR=ON >/dev/null
	@cmake --build build-check -j $(JOBS)
	cd build-check && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)
	@cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DQRVX_WERROR=ON >/dev/null
	@cmake --build build-clang -j $(JOBS)
	cd build-clang && ctest --output-on-failure -j $(JOBS)

# The tests under ThreadSanitizer (render bands on plain threads: see host/parallel.cpp).
tsan: setup
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRVX_TSAN=ON -DQRVX_PYTHON=OFF >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -j $(JOBS)

# Every fuzzer in fuzz/, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# run for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/setup --fuzz
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DQRVX_FUZZ=ON -DQRVX_PYTHON=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	fuzz/run build-fuzz $(FUZZ_SECONDS)


# The benchmark programs, built but not run.
bench-build: setup
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRVX_BENCH=ON >/dev/null
	@cmake --build build-bench -j $(JOBS)

bench: bench-build
	@scripts/setup --bench
	python3 bench/compare.py build-bench

# Formats every tracked C++ file with .clang-format; format-check fails where that would
# change a file.
FORMAT_FILES = $$(git ls-files '*.cpp' '*.h')
format:
	@scripts/setup --format
	clang-format -i $(FORMAT_FILES)

format-check:
	@scripts/setup --format
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) build-check build-clang build-tsan build-fuzz build-bench build-pip out
