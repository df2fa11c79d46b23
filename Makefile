# Front door of the project. Every target installs what it needs first, so on
# a fresh Debian 12 machine (as root) `make test` or `make demo` is enough.
BUILD_DIR    ?= build
SANITIZE_DIR ?= build-sanitize
RELEASE_DIR  ?= build-release
PREFIX       ?= /usr/local
JOBS         ?= $(shell nproc)
BUILD_TYPE   ?= RelWithDebInfo

CMAKE_OPTIONS = -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
                -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_BENCHMARKS=ON -DLARKSPUR_BUILD_TOOLS=ON
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

.PHONY: all deps build test sanitize install bench format clean

all: build

deps:
	scripts/install-deps.sh test

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_OPTIONS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the run.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) $(CMAKE_OPTIONS) -DLARKSPUR_BUILD_BENCHMARKS=OFF \
	  -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Benchmarks on the recorded data, from an optimised build of their own.
bench: deps
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_OPTIONS) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_DIR) -j $(JOBS)
	for b in $(RELEASE_DIR)/bench/*_bench; do $$b --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true || exit 1; done

format:
	find src include test bench tools fuzz -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(RELEASE_DIR)
