# Entry points for developers and CI. Every target installs what is missing first.
#   make demo                 build, install into install/, run the node on a simulated camera
#   make test                 build and run every test suite
#   make bench                build and run the benchmarks
#   make fuzz                 run every fuzz harness for FUZZ_SECONDS (600) each
#   make test SANITIZE=asan   the same under ASan+UBSan (or SANITIZE=tsan)

SANITIZE ?=
JOBS ?= $(shell nproc)
BUILD_DIR ?= build$(if $(SANITIZE),-$(SANITIZE),)
CTEST_ARGS ?=
# Debian's PCL frees some of its own buffers with a mismatched operator
# (MomentOfInertiaEstimation); TSan must not report inside uninstrumented libraries.
ASAN_RUN_OPTIONS := alloc_dealloc_mismatch=0
TSAN_RUN_OPTIONS := suppressions=$(CURDIR)/test/tsan.supp

.PHONY: deps configure build install demo test test-main test-asan test-tsan test-fuzz fuzz bench clean format

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DMOORWICK_SANITIZER=$(SANITIZE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

install: build
	@cmake --install $(BUILD_DIR) --prefix $(CURDIR)/install >/dev/null

demo: install
	@./scripts/demo.sh

# Plain build and every suite, then the sanitizer builds of the suites listed in
# test/CMakeLists.txt
# (skipped when SANITIZE is given: then the whole tree runs under that one).
test: test-main $(if $(SANITIZE),,test-asan test-tsan test-fuzz)

test-main: build
	@cd $(BUILD_DIR) && ASAN_OPTIONS="$(ASAN_RUN_OPTIONS)" TSAN_OPTIONS="$(TSAN_RUN_OPTIONS)" \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-asan: deps
	@cmake -S . -B build-asan -DMOORWICK_SANITIZER=asan >/dev/null
	@cmake --build build-asan -j $(JOBS) --target asan_suites
	@cd build-asan && ASAN_OPTIONS="$(ASAN_RUN_OPTIONS)" ctest --output-on-failure -j $(JOBS) -L asan

test-tsan: deps
	@cmake -S . -B build-tsan -DMOORWICK_SANITIZER=tsan >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target tsan_suites
	@cd build-tsan && TSAN_OPTIONS="$(TSAN_RUN_OPTIONS)" ctest --output-on-failure -j $(JOBS) -L tsan

# A short, seeded run of every fuzz harness (clang build in build-fuzz/);
# `make fuzz` runs them longer.
FUZZ_SECONDS ?= 600
test-fuzz: deps
	@fuzz/run.sh 10

fuzz: deps
	@fuzz/run.sh $(FUZZ_SECONDS)

bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target run_benchmarks

format:
	@git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-tsan build-fuzz install
