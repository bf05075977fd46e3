# The message packages of the runtime and moorwick_protocol, generated under
# ROS2_RUNTIME_GEN_DIR. Shared by the runtime and the clang fuzz build (fuzz/).
# Needs Ros2Interfaces.cmake and Python3_EXECUTABLE.
get_filename_component(_ros2_runtime_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_ifaces ${_ros2_runtime_root}/interfaces)
ros2_generate_interfaces(builtin_interfaces FILES
  ${_ifaces}/builtin_interfaces/msg/Time.msg
  ${_ifaces}/builtin_interfaces/msg/Duration.msg)
ros2_generate_interfaces(std_msgs FILES
  ${_ifaces}/std_msgs/msg/Header.msg
  ${_ifaces}/std_msgs/msg/ColorRGBA.msg)
ros2_generate_interfaces(geometry_msgs FILES
  ${_ifaces}/geometry_msgs/msg/Point.msg
  ${_ifaces}/geometry_msgs/msg/Quaternion.msg
  ${_ifaces}/geometry_msgs/msg/Pose.msg
  ${_ifaces}/geometry_msgs/msg/Vector3.msg
  ${_ifaces}/geometry_msgs/msg/Transform.msg
  ${_ifaces}/geometry_msgs/msg/TransformStamped.msg)
ros2_generate_interfaces(sensor_msgs FILES
  ${_ifaces}/sensor_msgs/msg/Image.msg
  ${_ifaces}/sensor_msgs/msg/RegionOfInterest.msg
  ${_ifaces}/sensor_msgs/msg/CameraInfo.msg
  ${_ifaces}/sensor_msgs/msg/PointField.msg
  ${_ifaces}/sensor_msgs/msg/PointCloud2.msg
  ${_ifaces}/sensor_msgs/msg/CompressedImage.msg)
ros2_generate_interfaces(visualization_msgs FILES
  ${_ifaces}/visualization_msgs/msg/UVCoordinate.msg
  ${_ifaces}/visualization_msgs/msg/MeshFile.msg
  ${_ifaces}/visualization_msgs/msg/Marker.msg
  ${_ifaces}/visualization_msgs/msg/MarkerArray.msg)
ros2_generate_interfaces(tf2_msgs FILES
  ${_ifaces}/tf2_msgs/msg/TFMessage.msg)
ros2_generate_interfaces(rmw_dds_common FILES
  ${_ifaces}/rmw_dds_common/msg/Gid.msg
  ${_ifaces}/rmw_dds_common/msg/NodeEntitiesInfo.msg
  ${_ifaces}/rmw_dds_common/msg/ParticipantEntitiesInfo.msg)

# moorwick_protocol: the same files protocol/CMakeLists.txt hands to rosidl
# in a ROS 2 workspace.
set(_protocol ${_ros2_runtime_root}/../protocol)
include(${_protocol}/interfaces.cmake)
set(_protocol_files)
foreach(f ${MOORWICK_PROTOCOL_INTERFACES})
  list(APPEND _protocol_files ${_protocol}/${f})
endforeach()
ros2_generate_interfaces(moorwick_protocol FILES ${_protocol_files})
