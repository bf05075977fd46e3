# Compiler settings shared by every target of the project, in one place.

set(MOORWICK_SANITIZER "" CACHE STRING "Sanitizer build: empty, 'asan' (ASan+UBSan) or 'tsan'")
set_property(CACHE MOORWICK_SANITIZER PROPERTY STRINGS "" asan tsan)

# Sanitizer builds only run tests: -O1 is what the sanitizers are tuned for and
# line tables are all their reports need; together they take about 40 % less
# compile time than -O2 -g on the PCL-heavy sources.
if(NOT MOORWICK_SANITIZER STREQUAL "")
  add_compile_options(-O1 -g1)
endif()

if(MOORWICK_SANITIZER STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # Debian's PCL is built without ASan, so Eigen there trusts malloc's alignment;
  # under ASan ours would switch to its own aligned allocator and free PCL's
  # cloud buffers the wrong way. Keep every side on malloc.
  add_compile_definitions(EIGEN_MALLOC_ALREADY_ALIGNED=1)
elseif(MOORWICK_SANITIZER STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT MOORWICK_SANITIZER STREQUAL "")
  message(FATAL_ERROR "MOORWICK_SANITIZER must be empty, 'asan' or 'tsan', not '${MOORWICK_SANITIZER}'")
endif()

# lld links our executables (static libraries with debug information) about
# six times faster than ld.bfd; a machine without it links with its default.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld MOORWICK_HAVE_LLD)
if(MOORWICK_HAVE_LLD)
  add_link_options(-fuse-ld=lld)
endif()

# What every test needs at run time under a sanitizer, set here only. Debian's
# PCL frees some of its own buffers with a mismatched operator
# (MomentOfInertiaEstimation), and its libraries (Cyclone, OpenCV, PCL) are not
# built with ThreadSanitizer: test/tsan.supp names what TSan must not report there.
set(MOORWICK_SANITIZER_TEST_ENV "")
if(MOORWICK_SANITIZER STREQUAL "asan")
  set(MOORWICK_SANITIZER_TEST_ENV "ASAN_OPTIONS=alloc_dealloc_mismatch=0")
elseif(MOORWICK_SANITIZER STREQUAL "tsan")
  set(MOORWICK_SANITIZER_TEST_ENV "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/test/tsan.supp")
endif()

# Warnings and language level for our own targets; third-party headers are
# included as system headers so their warnings do not drown ours.
function(moorwick_target_settings target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF POSITION_INDEPENDENT_CODE ON)
  # __FILE__ relative to the repository, so log lines name "./src/main.cpp".
  target_compile_options(${target} PRIVATE
    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=./
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)
endfunction()

# A GoogleTest executable registered with CTest under the given labels.
#   moorwick_add_gtest(name SOURCES a.cpp b.cpp LIBS lib1 lib2 LABELS unit [TIMEOUT s])
function(moorwick_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  moorwick_target_settings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # Line tables are what a failing test's backtrace needs; full debug
  # information costs a quarter of the compile time of the test sources. A
  # Debug build keeps it all.
  target_compile_options(${name} PRIVATE $<$<CONFIG:RelWithDebInfo>:-g1>)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # Suites chosen for the sanitizer runs of `make test` (listed in test/CMakeLists.txt).
  foreach(kind asan tsan)
    string(TOUPPER ${kind} KIND)
    if(name IN_LIST MOORWICK_${KIND}_SUITES)
      list(APPEND ARG_LABELS ${kind})
    endif()
  endforeach()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
  list(APPEND ARG_ENVIRONMENT ${MOORWICK_SANITIZER_TEST_ENV})
  if(ARG_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
endfunction()

# A Google Benchmark executable, run by `make bench`.
function(moorwick_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  moorwick_target_settings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
  set_property(GLOBAL APPEND PROPERTY MOORWICK_BENCHMARKS ${name})
endfunction()
