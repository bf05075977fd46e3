# Sources of the ROS-free core, one list per library; shared with the clang
# fuzz build (fuzz/CMakeLists.txt), so a file added to a library is fuzzed too.
set(_core ${CMAKE_CURRENT_LIST_DIR})
set(MOORWICK_CONFIG_SOURCES ${_core}/config_reader.cpp)
set(MOORWICK_CLASS_VOCABULARY_SOURCES ${_core}/class_vocabulary.cpp)
set(MOORWICK_ESTIMATOR_SOURCES
  ${_core}/estimator_config.cpp
  ${_core}/trash_pose_estimate.cpp
  ${_core}/fitted_centre.cpp
  ${_core}/grid_neighbour_search.cpp
  ${_core}/statistical_outlier_removal.cpp
  ${_core}/cloud_boxes.cpp)
set(MOORWICK_PIPELINE_CORE_SOURCES
  ${_core}/mask_points.cpp
  ${_core}/capture_names.cpp
  ${_core}/detection_filter.cpp
  ${_core}/trash_cloud.cpp)

# The neighbour search, outlier removal and boxes repeat PCL's float
# arithmetic step by step; fused multiply-adds would round differently. -O3
# and no errno from sqrt let the distance and root loops vectorise; neither
# changes a result.
set_source_files_properties(
  ${_core}/grid_neighbour_search.cpp
  ${_core}/statistical_outlier_removal.cpp
  ${_core}/cloud_boxes.cpp
  PROPERTIES COMPILE_OPTIONS "-ffp-contract=off;-fno-math-errno;-O3")
