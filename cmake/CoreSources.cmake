# Sources of the ROS-free core, one list per library. Shared by the main build
# and the clang fuzz build (fuzz/), so a file added to a library is fuzzed too.
get_filename_component(_moorwick_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

set(MOORWICK_LOGGING_SOURCES ${_moorwick_root}/src/common/utils.cpp)
set(MOORWICK_CLASS_VOCABULARY_SOURCES ${_moorwick_root}/src/class_vocabulary.cpp)
set(MOORWICK_ESTIMATOR_SOURCES
  ${_moorwick_root}/src/trash_pose_estimate.cpp
  ${_moorwick_root}/src/fast_cloud_ops.cpp)
set(MOORWICK_PIPELINE_CORE_SOURCES
  ${_moorwick_root}/src/common.cpp
  ${_moorwick_root}/src/detection_filter.cpp
  ${_moorwick_root}/src/trash_cloud.cpp)
set(MOORWICK_MODEL_ZOO_SOURCES
  ${_moorwick_root}/model_zoo/src/yolov8_seg.cpp
  ${_moorwick_root}/model_zoo/src/yolov8_postprocess.cpp
  ${_moorwick_root}/model_zoo/src/onnx_backend.cpp
  ${_moorwick_root}/model_zoo/src/color_key_backend.cpp)

# The fast outlier removal and boxes repeat PCL's float arithmetic step by
# step; fused multiply-adds would round differently. -O3 and no errno from
# sqrt let the distance and root loops vectorise; neither changes a result.
set_source_files_properties(${_moorwick_root}/src/fast_cloud_ops.cpp
  PROPERTIES COMPILE_OPTIONS "-ffp-contract=off;-fno-math-errno;-O3")
