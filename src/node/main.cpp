#include <exception>
#include <memory>
#include <string>
#include <thread>

#include <rclcpp/rclcpp.hpp>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_arm_trash_detect/node/detection_node.hpp"

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);

  std::shared_ptr<moorwick::DetectionNode> detection_node;
  try {
    const std::string config_path =
        moorwick::PackageShareDirectory() + "/config/trash_pose_detect_config.yaml";
    LOG_DEBUG("trash_pose_detect_config_path = {}", config_path);
    detection_node = std::make_shared<moorwick::DetectionNode>(config_path);
  } catch (const std::exception& e) {
    // Ctrl-C during start-up is an ordinary stop, as it is once the node runs;
    // whatever the shutdown broke on its way is no fault of the configuration.
    if (dynamic_cast<const moorwick::StartupInterrupted*>(&e) != nullptr || !rclcpp::ok()) {
      LOG_INFO("start-up interrupted by shutdown: {}", e.what());
      rclcpp::shutdown();
      return 0;
    }
    // One line that names what was wrong, then a clean exit: a robot's launch
    // system shows it, where an abort would only show a signal.
    LOG_ERROR("start-up failed: {}", e.what());
    rclcpp::shutdown();
    return 1;
  }

  std::thread executor_thread([&detection_node] { detection_node->ExecutorThread(); });

  rclcpp::WallRate rate(500);
  while (rclcpp::ok()) {
    rate.sleep();
  }

  executor_thread.join();
  rclcpp::shutdown();
  return 0;
}
