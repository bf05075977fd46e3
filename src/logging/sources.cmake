# Shared with the clang fuzz build (fuzz/CMakeLists.txt).
set(MOORWICK_LOGGING_SOURCES ${CMAKE_CURRENT_LIST_DIR}/logger.cpp)
