# Grab pose estimation (GrabPoseEstimate): ROS-free, on PCL, OpenCV, Eigen and yaml-cpp.
add_library(moorwick_estimator ${MOORWICK_ESTIMATOR_SOURCES})
moorwick_target_settings(moorwick_estimator)
target_include_directories(moorwick_estimator PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_include_directories(moorwick_estimator SYSTEM PUBLIC ${PCL_INCLUDE_DIRS})
target_compile_definitions(moorwick_estimator PUBLIC ${PCL_DEFINITIONS})
target_link_libraries(moorwick_estimator
  PUBLIC moorwick_logging Eigen3::Eigen yaml-cpp Threads::Threads ${PCL_COMMON_LIBRARIES}
  PRIVATE ${PCL_FILTERS_LIBRARIES} ${PCL_FEATURES_LIBRARIES} ${PCL_SEARCH_LIBRARIES}
          ${PCL_KDTREE_LIBRARIES} opencv_core opencv_imgproc Boost::filesystem)
# Debian's PCL libraries are built without ASan, so Eigen there trusts glibc's
# malloc alignment; under ASan Eigen would switch to its own aligned allocator in
# our code and free PCL's cloud buffers wrongly. Keep both sides on malloc.
if(MOORWICK_SANITIZER STREQUAL "asan")
  target_compile_definitions(moorwick_estimator PUBLIC EIGEN_MALLOC_ALREADY_ALIGNED=1)
endif()
