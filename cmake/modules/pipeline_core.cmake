# ROS-free core of the per-frame pipeline: detection filtering, mask points,
# cloud cut-out and debug time stamps. The node adapts messages to it.
add_library(moorwick_pipeline_core ${MOORWICK_PIPELINE_CORE_SOURCES})
moorwick_target_settings(moorwick_pipeline_core)
target_include_directories(moorwick_pipeline_core PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/model_zoo/include>)
target_link_libraries(moorwick_pipeline_core
  PUBLIC moorwick_class_vocabulary moorwick_logging pcl_common opencv_core
  PRIVATE opencv_imgproc)
