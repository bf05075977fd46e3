# Entry points for developers and CI. Every target installs what is missing first.
#   make demo                 build, install into install/, run the node on a simulated camera
#                             (DEMO_GRAB_CENTER=fitted: grab at the fitted centre)
#   make test                 build and run every test suite
#   make bench                build and run the benchmarks
#   make fuzz                 run every fuzz harness for FUZZ_SECONDS (600) each
#   make test SANITIZE=asan   the same under ASan+UBSan (or SANITIZE=tsan)
#   make tidy                 clang-tidy over the tree (.clang-tidy), fails on findings

SANITIZE ?=
JOBS ?= $(shell nproc)
BUILD_DIR ?= build$(if $(SANITIZE),-$(SANITIZE),)
CTEST_ARGS ?=
# Sanitizer trees build with clang: its ASan+UBSan compiles the Eigen-heavy
# sources in about half the time gcc takes, and the fuzz build uses it anyway.
SANITIZER_COMPILERS = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

.PHONY: deps configure build install demo test test-main test-asan test-tsan test-fuzz fuzz bench clean format tidy

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DMOORWICK_SANITIZER=$(SANITIZE) \
	  $(if $(SANITIZE),$(SANITIZER_COMPILERS),) >/dev/null

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
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-asan: deps
	@cmake -S . -B build-asan -DMOORWICK_SANITIZER=asan $(SANITIZER_COMPILERS) >/dev/null
	@cmake --build build-asan -j $(JOBS) --target asan_suites
	@cd build-asan && ctest --output-on-failure -j $(JOBS) -L asan

test-tsan: deps
	@cmake -S . -B build-tsan -DMOORWICK_SANITIZER=tsan $(SANITIZER_COMPILERS) >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target tsan_suites
	@cd build-tsan && ctest --output-on-failure -j $(JOBS) -L tsan

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

# clang-tidy with the checked-in .clang-tidy over every file the build compiles
# (generated message code apart, also in headers: the header filter is anchored
# at the source tree, so $(BUILD_DIR)/ never matches); fails on any finding.
tidy: build
	@run-clang-tidy -quiet -p $(BUILD_DIR) -j $(JOBS) \
	  -header-filter='^$(CURDIR)/(include|src|sim|tools|model_zoo|ros2_runtime|test|bench)/' \
	  '^$(CURDIR)/(src|sim|tools|model_zoo|ros2_runtime|test|bench)/' > $(BUILD_DIR)/tidy.log 2>&1; \
	  status=$$?; grep -E '(warning|error):' $(BUILD_DIR)/tidy.log | sort -u; \
	  if [ $$status -ne 0 ] || grep -qE '(warning|error):' $(BUILD_DIR)/tidy.log; then \
	    echo "tidy: findings above (full log: $(BUILD_DIR)/tidy.log)"; exit 1; fi; echo "tidy: clean"

clean:
	@rm -rf build build-asan build-tsan build-fuzz install
