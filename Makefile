# Entry points for developers and CI. Every target installs what is missing first.
#   make demo                 build, install into install/, run the node on a simulated camera
#   make test                 build and run every test suite
#   make bench                build and run the benchmarks
#   make test SANITIZE=asan   the same under ASan+UBSan (or SANITIZE=tsan)

SANITIZE ?=
JOBS ?= $(shell nproc)
BUILD_DIR ?= build$(if $(SANITIZE),-$(SANITIZE),)
CTEST_ARGS ?=

.PHONY: deps configure build install demo test bench clean format

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

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target run_benchmarks

format:
	@git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-tsan install
