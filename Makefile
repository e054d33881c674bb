# Set-up, build and test. Every target installs what it needs first. The configurations
# are CMakePresets.json's (release, check, clang, tsan, fuzz, bench): `cmake --preset NAME`
# gives the same build by hand. BUILD moves the release build elsewhere.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup build python run test check tsan fuzz bench bench-build format format-check clean

all: build

setup:
	@scripts/setup

build: setup
	@cmake --preset release -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The Python module alone, into $(BUILD)/python (make build builds it too).
python: setup
	@cmake --preset release -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target _qrvx

run: build
	$(BUILD)/bin/qrvx demo --out out/demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests under AddressSanitizer and UndefinedBehaviorSanitizer, then built with clang
# (which warns about other things than GCC) and run again. Warnings are errors in both.
check:
	@scripts/setup --check
	@cmake --preset check >/dev/null
	@cmake --build --preset check -j $(JOBS)
	ctest --preset check -j $(JOBS)
	@cmake --preset clang >/dev/null
	@cmake --build --preset clang -j $(JOBS)
	ctest --preset clang -j $(JOBS)

# The tests under ThreadSanitizer (render bands on plain threads: see host/parallel.cpp).
tsan: setup
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Every fuzzer in fuzz/, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# run for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/setup --fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	fuzz/run build-fuzz $(FUZZ_SECONDS)

# The benchmark programs, built but not run.
bench-build: setup
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench -j $(JOBS)

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
