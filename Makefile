# Entry points for developers and CI. Every target installs what is missing first.
#   make demo                 build, install into install/, run the node on a simulated camera
#   make test                 build and run every test suite
#   make bench                build and run the benchmarks
#   make test SANITIZE=asan   the same under ASan+UBSan (or SANITIZE=tsan)

SANITIZE ?=
JOBS ?= $(shell nproc)
BUILD_DIR ?= build$(if $(SANITIZE),-$(SANITIZE),)
CTEST_ARGS ?=

.PHONY: deps configure build install demo test test-main test-asan test-tsan bench clean format

# Suites rebuilt under the sanitizers by `make test`: the algorithm core and the
# runtime under ASan+UBSan, everything that hands work between threads under TSan.
ASAN_TESTS := logger_test class_vocabulary_test pipeline_core_test \
  moorwick_estimator_config_test moorwick_estimator_conditioning_test \
  moorwick_estimator_shape_test moorwick_estimator_grab_pose_test \
  model_zoo_postprocess_test model_zoo_color_key_test \
  ros2_runtime_unit_test ros2_runtime_loopback_test \
  test_tf2_buffer_core test_tf2_approximate_time test_tf2_cv_bridge test_tf2_pcl_conversions \
  node_detect_service_test node_image_callback_test
TSAN_TESTS := logger_test ros2_runtime_unit_test test_tf2_ros test_tf2_message_filters_dds \
  node_detect_service_test node_image_callback_test
comma := ,
empty :=
space := $(empty) $(empty)
tests_regex = ^($(subst $(space),|,$(strip $(1))))$$

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

# Plain build and every suite, then the sanitizer builds of the suites above
# (skipped when SANITIZE is given: then the whole tree runs under that one).
test: test-main $(if $(SANITIZE),,test-asan test-tsan)

test-main: build
	@cd $(BUILD_DIR) && TSAN_OPTIONS="suppressions=$(CURDIR)/test/tsan.supp $${TSAN_OPTIONS:-}" \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-asan: deps
	@cmake -S . -B build-asan -DMOORWICK_SANITIZER=asan >/dev/null
	@cmake --build build-asan -j $(JOBS) --target $(ASAN_TESTS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS) -R '$(call tests_regex,$(ASAN_TESTS))'

test-tsan: deps
	@cmake -S . -B build-tsan -DMOORWICK_SANITIZER=tsan >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target $(TSAN_TESTS)
	@cd build-tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/test/tsan.supp $${TSAN_OPTIONS:-}" ctest --output-on-failure -j $(JOBS) -R '$(call tests_regex,$(TSAN_TESTS))'

bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target run_benchmarks

format:
	@git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-tsan install
