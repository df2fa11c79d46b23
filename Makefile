# Front door of the project. Every target installs what it needs first, so on
# a fresh Debian 12 machine (as root) `make test` or `make demo` is enough.
BUILD_DIR    ?= build
SANITIZE_DIR ?= build-sanitize
RELEASE_DIR  ?= build-release
FUZZ_DIR     ?= build-fuzz
TSAN_DIR     ?= build-tsan
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= detector_config cloud_detector laser_detector ground_removal cloud_cluster camera_frame \
                kitti_bin_reader kitti_label_reader kitti_poses_reader kitti_calib_reader pcd_reader \
                carmen_reader laser_text_reader
PREFIX       ?= /usr/local
JOBS         ?= $(shell nproc)
BUILD_TYPE   ?= RelWithDebInfo

CMAKE_OPTIONS = -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
                -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_BENCHMARKS=ON -DLARKSPUR_BUILD_TOOLS=ON \
                -DLARKSPUR_BUILD_PYTHON=ON
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

.PHONY: all deps build test sanitize install bench demo fuzz tsan test-aarch64 format clean

all: build

deps:
	scripts/install-deps.sh test

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_OPTIONS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the run. The golden baseline is left to the optimised builds:
# it checks outputs, not memory, and takes a quarter of an hour unoptimised.
# Without the Python module: Debian's python3 cannot load an instrumented
# library.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) $(CMAKE_OPTIONS) -DLARKSPUR_BUILD_BENCHMARKS=OFF \
	  -DLARKSPUR_BUILD_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE golden

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Benchmarks on the recorded data, from an optimised build of their own.
bench: deps
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_OPTIONS) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_DIR) -j $(JOBS)
	for b in $(RELEASE_DIR)/bench/*_bench; do $$b --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true || exit 1; done

# Every fuzz target for FUZZ_SECONDS, one after another, from the generated
# seeds and the corpus kept in $(FUZZ_DIR)/corpus. A crash, sanitizer report,
# hang (-timeout, seconds) or memory use over -rss_limit_mb stops the run and
# leaves the input in $(FUZZ_DIR)/findings/<target>/. Everything in the
# fuzz build is instrumented for coverage (fuzzer-no-link) and built with
# AddressSanitizer and UndefinedBehaviorSanitizer, so every target catches
# memory errors and undefined behaviour anywhere under its entry point.
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all \
             -fno-omit-frame-pointer
FUZZ_LINK_FLAGS = -fsanitize=address,undefined
FUZZ_OPTIONS = -rss_limit_mb=2048 -timeout=60 -max_len=32768 -print_final_stats=1
fuzz:
	scripts/install-deps.sh fuzz
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLARKSPUR_BUILD_FUZZERS=ON -DLARKSPUR_BUILD_TOOLS=OFF -DLARKSPUR_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(FUZZ_LINK_FLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(FUZZ_LINK_FLAGS)"
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers
	rm -rf $(FUZZ_DIR)/seeds && $(FUZZ_DIR)/fuzz/make_fuzz_seeds $(FUZZ_DIR)/seeds
	cp -r fuzz/readers/seeds/. $(FUZZ_DIR)/seeds/
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/findings/$$t && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	  $(FUZZ_DIR)/fuzz/$${t}_fuzzer $(FUZZ_OPTIONS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ_DIR)/findings/$$t/ \
	    $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/seeds/$${t}_fuzzer || exit 1; \
	done

# The tests that drive the logger, the camera-frame registry and the
# clustering from several threads, under ThreadSanitizer; any report fails the
# run.
TSAN_FLAGS = -fsanitize=thread -fno-omit-frame-pointer
TSAN_TESTS = logger_test camera_frame_test cloud_cluster_threads_test
# The test programs load PCL's I/O library (the recorded-data readers), which
# brings OpenNI2, whose start-up code unlocks a mutex it never locked; that is
# suppressed (test/tsan.supp). The build runs the tests too, to list them.
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/test/tsan.supp
tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPUR_BUILD_TESTS=ON \
	  -DLARKSPUR_BUILD_BENCHMARKS=OFF -DLARKSPUR_BUILD_TOOLS=OFF -DLARKSPUR_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(TSAN_FLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(TSAN_FLAGS)"
	$(TSAN_ENV) cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_TESTS)
	cd $(TSAN_DIR) && $(TSAN_ENV) \
	  ctest --output-on-failure --no-tests=error -R '^(Logger|CameraFrame|FrameData|CloudClusterThreads)'

# The replay tool on the built-in street scene, from a lean optimised build
# of its own (library and tool only), so that it is quick on a fresh machine.
DEMO_DIR ?= build-demo
DEMO_OUT ?= out/demo
demo:
	scripts/install-deps.sh build
	cmake -S . -B $(DEMO_DIR) -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BUILD_TESTS=OFF \
	  -DLARKSPUR_BUILD_BENCHMARKS=OFF -DLARKSPUR_BUILD_TOOLS=ON
	cmake --build $(DEMO_DIR) -j $(JOBS) --target larkspur_replay
	$(DEMO_DIR)/tools/replay/larkspur_replay --scene --out $(DEMO_OUT)
	@echo
	@echo "Pictures of the demo: $(DEMO_OUT)/*.png (birds_eye_*, cloud_grid_*, laser_*, laser_grid_*)"
	@echo "Per-frame table: $(DEMO_OUT)/frames.csv   summary: $(DEMO_OUT)/summary.txt"

# The library, its tests and tools cross-compiled for 64-bit Arm and the whole
# suite run under qemu-aarch64, against an arm64 Debian 12 sysroot cached in
# $(AARCH64_DIR)/sysroot; the suite's golden_digest test compares every output
# with the committed baseline (scripts/test-aarch64.sh).
AARCH64_DIR ?= build-aarch64
test-aarch64: deps
	scripts/test-aarch64.sh $(AARCH64_DIR) $(JOBS)

format:
	find src include test bench tools fuzz -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(RELEASE_DIR) $(DEMO_DIR) $(FUZZ_DIR) $(TSAN_DIR)
