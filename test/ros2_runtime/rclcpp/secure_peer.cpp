// A peer process for the DDS Security tests. Its credentials come from the
// environment (ROS_SECURITY_*), so one binary plays the trusted camera, the
// trusted caller and every intruder. It reports what it saw on stdout:
//   call SERVICE    "refused" when the client cannot be created, else
//                   "service seen" or "service not seen", then "answered"
//                   or "no answer" (exit 0 only when answered)
//   inject TAG N    N images on /camera/image_raw and N transforms on /tf,
//                   frame ids TAG; "refused" when a writer cannot be created,
//                   else "published matched=<readers the writers matched>"
//   sink            counts images on /camera/image_raw, also reads /tf so an
//                   injector finds both its writers matched; "ready", "received N"
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "tf2_msgs/msg/tf_message.hpp"

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;
using namespace std::chrono_literals;

namespace {

void say(const std::string& what) {
  std::printf("%s\n", what.c_str());
  std::fflush(stdout);
}

// Image rows are a 16-byte marker repeated, so a capture can look for it.
sensor_msgs::msg::Image marked_image(const std::string& frame_id, int i) {
  static const char kMarker[] = "MOORWICK-PIXELS!";
  sensor_msgs::msg::Image m{{{100 + i, 0}, frame_id}, 48, 64, "rgb8", 0, 64 * 3, {}};
  m.data.resize(static_cast<std::size_t>(m.step) * m.height);
  for (std::size_t k = 0; k < m.data.size(); ++k) {
    m.data[k] = static_cast<std::uint8_t>(kMarker[k % 16]);
  }
  return m;
}

int call(const std::string& service) {
  auto node = rclcpp::Node::make_shared("secure_caller");
  rclcpp::Client<ArmTrashPose>::SharedPtr client;
  try {
    client = node->create_client<ArmTrashPose>(service);
  } catch (const std::exception& e) {
    say("refused");
    std::fprintf(stderr, "%s\n", e.what());
    return 4;
  }
  const bool seen = client->wait_for_service(15s);
  say(seen ? "service seen" : "service not seen");
  auto req = std::make_shared<ArmTrashPose::Request>();
  req->cmd = 7;
  auto fut = client->async_send_request(req);
  const bool answered = rclcpp::spin_until_future_complete(node, fut, seen ? 20s : 3s) ==
                            rclcpp::FutureReturnCode::SUCCESS &&
                        fut.get()->error_code == 7 * 3 + 1;
  say(answered ? "answered" : "no answer");
  return answered ? 0 : 3;
}

int inject(const std::string& tag, int n) {
  auto node = rclcpp::Node::make_shared("secure_injector");
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr images;
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr tf;
  try {
    images = node->create_publisher<sensor_msgs::msg::Image>("/camera/image_raw", 10);
    tf = node->create_publisher<tf2_msgs::msg::TFMessage>("/tf", 100);
  } catch (const std::exception& e) {
    // Access control refuses a writer the permissions do not grant.
    say("refused");
    std::fprintf(stderr, "%s\n", e.what());
    return 0;
  }
  // Give discovery the time it needs on a loaded machine before writing.
  const auto until = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < until &&
         (images->get_subscription_count() == 0 || tf->get_subscription_count() == 0)) {
    rclcpp::sleep_for(50ms);
  }
  rclcpp::WallRate rate(20.0);
  for (int i = 0; i < n && rclcpp::ok(); ++i) {
    images->publish(marked_image(tag, i));
    tf->publish(tf2_msgs::msg::TFMessage{
        {{{{100 + i, 0}, "world"}, tag + "_frame", {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 1.0}}}}});
    rate.sleep();
  }
  say("published matched=" +
      std::to_string(images->get_subscription_count() + tf->get_subscription_count()));
  // Stay until the test ends us, so reliable samples are not cut short.
  while (rclcpp::ok()) {
    rclcpp::sleep_for(50ms);
  }
  return 0;
}

int sink() {
  auto node = rclcpp::Node::make_shared("secure_sink");
  std::atomic<int> received{0};
  auto sub = node->create_subscription<sensor_msgs::msg::Image>(
      "/camera/image_raw", 10, [&](const sensor_msgs::msg::Image::ConstSharedPtr&) { ++received; });
  auto tf = node->create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf", 100, [](const tf2_msgs::msg::TFMessage::ConstSharedPtr&) {});
  rclcpp::executors::SingleThreadedExecutor exec;
  exec.add_node(node);
  std::thread spin([&] { exec.spin(); });
  say("ready");
  while (rclcpp::ok()) {
    rclcpp::sleep_for(50ms);
  }
  exec.cancel();
  spin.join();
  say("received " + std::to_string(received.load()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  int rc = 2;
  if (mode == "call" && argc > 2) {
    rc = call(argv[2]);
  } else if (mode == "inject" && argc > 3) {
    rc = inject(argv[2], std::atoi(argv[3]));
  } else if (mode == "sink") {
    rc = sink();
  } else {
    std::fprintf(stderr, "usage: secure_peer call SERVICE | inject TAG N | sink\n");
  }
  rclcpp::shutdown();
  return rc;
}
