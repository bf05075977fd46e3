# The ROS 2 API from a sourced ROS 2 installation, under the target names of
# the ros2_runtime/ build (ros2::rclcpp, ros2::tf2, ...), so the node and the
# tools link the same names with either provider.
find_package(rclcpp REQUIRED)
find_package(ament_index_cpp REQUIRED)
find_package(sensor_msgs REQUIRED)
find_package(geometry_msgs REQUIRED)
find_package(visualization_msgs REQUIRED)
find_package(tf2_msgs REQUIRED)
find_package(tf2 REQUIRED)
find_package(tf2_ros REQUIRED)
find_package(tf2_eigen REQUIRED)
find_package(message_filters REQUIRED)
find_package(cv_bridge REQUIRED)
find_package(pcl_conversions REQUIRED)
find_package(moorwick_protocol REQUIRED)

# SYSTEM: their headers' warnings are not ours.
function(moorwick_ros2_interface name)
  add_library(moorwick_ros2_${name} INTERFACE)
  ament_target_dependencies(moorwick_ros2_${name} SYSTEM INTERFACE ${ARGN})
  add_library(ros2::${name} ALIAS moorwick_ros2_${name})
endfunction()

moorwick_ros2_interface(rclcpp rclcpp ament_index_cpp sensor_msgs geometry_msgs
  visualization_msgs tf2_msgs moorwick_protocol)
moorwick_ros2_interface(tf2 tf2 tf2_ros tf2_eigen)
moorwick_ros2_interface(message_filters message_filters)
moorwick_ros2_interface(cv_bridge cv_bridge)
moorwick_ros2_interface(pcl_conversions pcl_conversions)
