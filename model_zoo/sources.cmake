# Shared with the clang fuzz build (fuzz/CMakeLists.txt).
set(MOORWICK_MODEL_ZOO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/src/yolov8_seg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/yolov8_postprocess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/onnx_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/color_key_backend.cpp)
