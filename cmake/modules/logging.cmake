# The logging facility: moorwick::Logger, LOG_* statements, matrix logging.
add_library(moorwick_logging ${MOORWICK_LOGGING_SOURCES})
moorwick_target_settings(moorwick_logging)
target_include_directories(moorwick_logging PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(moorwick_logging PUBLIC spdlog::spdlog fmt::fmt Eigen3::Eigen
  PRIVATE PkgConfig::SYSTEMD)
