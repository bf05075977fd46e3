# Class table, palettes, per-class tables and their YAML loaders.
add_library(moorwick_class_vocabulary ${MOORWICK_CLASS_VOCABULARY_SOURCES})
moorwick_target_settings(moorwick_class_vocabulary)
target_include_directories(moorwick_class_vocabulary PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(moorwick_class_vocabulary
  PUBLIC moorwick_logging opencv_core
  PRIVATE yaml-cpp)
