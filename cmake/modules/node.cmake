# The node: camera nodes, detect service, process entry.

# Typed configuration access that names file and key on every failure; ROS-free.
add_library(moorwick_node_config src/config_access.cpp)
moorwick_target_settings(moorwick_node_config)
target_include_directories(moorwick_node_config PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(moorwick_node_config PUBLIC yaml-cpp)

# The rest needs the ROS 2 runtime (ros2_runtime/, added after the modules).
if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/ros2_runtime/CMakeLists.txt)
  message(STATUS "moorwick_node: ros2_runtime/ not present, node targets skipped")
  return()
endif()

add_library(moorwick_node
  src/camera_detection_node.cpp
  src/trash_pose_detection.cpp)
moorwick_target_settings(moorwick_node)
target_include_directories(moorwick_node PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(moorwick_node PUBLIC
  moorwick_node_config
  moorwick_logging
  moorwick_class_vocabulary
  moorwick_pipeline_core
  moorwick_estimator
  moorwick_model_zoo
  ros2::rclcpp
  ros2::tf2
  ros2::message_filters
  ros2::cv_bridge
  ros2::pcl_conversions
  yaml-cpp
  Eigen3::Eigen
  PRIVATE ${PCL_IO_LIBRARIES} opencv_imgproc opencv_imgcodecs)

add_executable(moorwick_arm_trash_detect_node src/main.cpp)
moorwick_target_settings(moorwick_arm_trash_detect_node)
target_link_libraries(moorwick_arm_trash_detect_node PRIVATE moorwick_node)

# Install prefix laid out as ROS 2 expects: `ros2 run` finds the executable in
# lib/<package>, and the ament index marks the package's share directory.
install(TARGETS moorwick_arm_trash_detect_node
  RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/${PROJECT_NAME})
install(TARGETS moorwick_arm_trash_detect_node RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(MOORWICK_AMENT_MARKER ${CMAKE_CURRENT_BINARY_DIR}/ament_marker/${PROJECT_NAME})
file(WRITE ${MOORWICK_AMENT_MARKER} "")
install(FILES ${MOORWICK_AMENT_MARKER}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/ament_index/resource_index/packages)

# The same layout in the build tree, so the node and its tests run without
# installing: AMENT_PREFIX_PATH=${MOORWICK_BUILD_PREFIX}.
set(MOORWICK_BUILD_PREFIX ${CMAKE_BINARY_DIR}/ros_prefix)
file(MAKE_DIRECTORY
  ${MOORWICK_BUILD_PREFIX}/share/ament_index/resource_index/packages
  ${MOORWICK_BUILD_PREFIX}/share/${PROJECT_NAME}
  ${MOORWICK_BUILD_PREFIX}/lib/${PROJECT_NAME})
file(WRITE ${MOORWICK_BUILD_PREFIX}/share/ament_index/resource_index/packages/${PROJECT_NAME} "")
file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/config
  ${MOORWICK_BUILD_PREFIX}/share/${PROJECT_NAME}/config SYMBOLIC)
add_custom_command(TARGET moorwick_arm_trash_detect_node POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:moorwick_arm_trash_detect_node>
          ${MOORWICK_BUILD_PREFIX}/lib/${PROJECT_NAME}/moorwick_arm_trash_detect_node)
