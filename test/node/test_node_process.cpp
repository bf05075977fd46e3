// The built node as a separate process: start-up against a test process that
// plays the camera driver and the robot's tf, the per-camera topics, the detect
// service's time-out answer, start-up fault lines, and SIGINT.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <tf2_ros/static_transform_broadcaster.h>
#include <geometry_msgs/msg/transform_stamped.hpp>
#include <moorwick_protocol/msg/grab_trash_cloud.hpp>
#include <moorwick_protocol/srv/arm_trash_pose.hpp>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <tf2_msgs/msg/tf_message.hpp>
#include <visualization_msgs/msg/marker_array.hpp>

#include "node_process.hpp"

namespace moorwick {
namespace {

using namespace std::chrono_literals;
using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;

constexpr int kDomainId = 62;
constexpr char kServiceName[] = "/node_process_test/arm_trash_pose";
constexpr char kCameraInfoTopic[] = "/node_process_test/color/camera_info";
constexpr char kCamFrame[] = "npt_camera_color_optical_frame";
constexpr int kDetectTimeoutMs = 300;

// Writes the main file, camera 1's file and a colour-key model into the prefix.
void WriteTestConfig(const test::TempPrefix& prefix, const std::string& camera_info_topic) {
  prefix.WriteConfig("trash_pose_detect_config.yaml",
                     "moorwick_arm_trash_detect:\n"
                     "  max_grab_radius: 1.0\n"
                     "  aim_grab_radius: 0.05\n"
                     "  detect_timeout_ms: " +
                         std::to_string(kDetectTimeoutMs) +
                         "\n"
                         "  trash_detect_node_array: [npt_front_camera_node]\n"
                         "  detect_service: " +
                         kServiceName + "\n");
  const std::string model_cfg = (prefix.config_dir() / "npt_color_key_model.yaml").string();
  prefix.WriteConfig("npt_color_key_model.yaml",
                     "backend: color_key\n"
                     "num_classes: 23\n"
                     "classes:\n"
                     "  - {label: 4, name: bottle, hsv_min: [100, 150, 80], hsv_max: [130, 255, "
                     "255], min_area: 30, score: 0.9}\n");
  // Debug folders of the estimator go to the temporary prefix.
  const auto estimator = prefix.config_dir() / "cam1_pose_estimate_config.yaml";
  std::string text = test::ReadText(estimator);
  const std::string folder = "folder_path: \"/opt/moorwick/trash_pose_detect_data/\"";
  const auto pos = text.find(folder);
  ASSERT_NE(pos, std::string::npos);
  text.replace(pos, folder.size(), "folder_path: \"" + (prefix.root() / "data").string() + "/\"");
  test::WriteText(estimator, text);

  prefix.WriteConfig("cam1_detect_config.yaml",
                     "camera_detection_params:\n"
                     "  cam_id: 1\n"
                     "  cam_frame_id: " +
                         std::string(kCamFrame) +
                         "\n"
                         "  is_debug: false\n"
                         "  is_realtime_estimate: false\n"
                         "  is_enable_semantic: true\n"
                         "  is_enable_transparent: true\n"
                         "  is_grab_aim_trash: false\n"
                         "  detect_duration: 10\n"
                         "  map_frame_id: map\n"
                         "  arm_base_frame_id: arm_base_link\n"
                         "  image_edge_threshold: 5\n"
                         "  min_trash_cloud_size_treshold: 50\n"
                         "  null_ratio_threshold: 0.3\n"
                         "  hw_ratio_threshold: 1.2\n"
                         "  mask_erosion_size: 1\n"
                         "  pose_estimate_config_file: cam1_pose_estimate_config.yaml\n"
                         "  trash_mask_iou_v1: 0.7\n"
                         "  ground_max_th: 0.0\n"
                         "  detected_image_topic: /moorwick_arm_trash_detect/cam1_detected_image\n"
                         "  trashes_cloud_topic: /moorwick_arm_trash_detect/cam1_trashes_cloud\n"
                         "  camera_info_topic: \"" +
                         camera_info_topic +
                         "\"\n"
                         "  is_detect_grab_pose: true\n"
                         "  rgb_topic: /node_process_test/color/image_raw\n"
                         "  depth_topic: /node_process_test/aligned_depth_to_color/image_raw\n"
                         "  model_type: seg\n"
                         "  trash_class_ids: [1, 2, 3, 5, 16]\n"
                         "  class_txt: trash_classes.txt\n"
                         "  model_cfg_file: " +
                         model_cfg + "\n");
}

// Plays the camera driver (camera_info) and the robot's static tf.
class Driver {
public:
  explicit Driver(bool publish_transform) {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node_ = std::make_shared<rclcpp::Node>("node_process_test_driver");
    info_pub_ = node_->create_publisher<sensor_msgs::msg::CameraInfo>(kCameraInfoTopic, 1);
    timer_ = node_->create_wall_timer(50ms, [this] {
      sensor_msgs::msg::CameraInfo info;
      info.header.frame_id = kCamFrame;
      info.header.stamp = node_->now();
      info.width = 1280;
      info.height = 720;
      info.k = {615.25, 0.0, 641.5, 0.0, 614.75, 362.25, 0.0, 0.0, 1.0};
      info_pub_->publish(info);
    });
    if (publish_transform) {
      broadcaster_ = std::make_shared<tf2_ros::StaticTransformBroadcaster>(node_);
      geometry_msgs::msg::TransformStamped t;
      t.header.stamp = node_->now();
      t.header.frame_id = "arm_base_link";
      t.child_frame_id = kCamFrame;
      t.transform.translation.x = -0.05;
      t.transform.translation.z = 0.30;
      t.transform.rotation.w = 1.0;
      broadcaster_->sendTransform(t);
    }
    client_ = node_->create_client<ArmTrashPose>(kServiceName);
    executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
    executor_->add_node(node_);
    spinner_ = std::thread([this] { executor_->spin(); });
  }

  ~Driver() {
    executor_->cancel();
    spinner_.join();
  }

  // Subscribes to `topic` and waits until the node's publisher matches: the
  // topic exists with this name and type. Returns the publisher count seen.
  template <class MessageT>
  std::size_t MatchPublisher(const std::string& topic, std::chrono::seconds bound) {
    auto sub = node_->create_subscription<MessageT>(topic, rclcpp::QoS(1).reliable(),
                                                    [](typename MessageT::ConstSharedPtr) {});
    subscriptions_.push_back(sub);
    const auto end = std::chrono::steady_clock::now() + bound;
    while (sub->get_publisher_count() == 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
    }
    return sub->get_publisher_count();
  }

  // Publishes on `topic` and waits until the node's subscription matches.
  template <class MessageT>
  std::size_t MatchSubscription(const std::string& topic, std::chrono::seconds bound) {
    auto pub = node_->create_publisher<MessageT>(topic, rclcpp::QoS(10).reliable());
    const auto end = std::chrono::steady_clock::now() + bound;
    while (pub->get_subscription_count() == 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
    }
    return pub->get_subscription_count();
  }

  std::shared_ptr<ArmTrashPose::Response> Call(std::int32_t cmd, std::uint8_t cam_choice) {
    if (!client_->wait_for_service(20s)) {
      return nullptr;
    }
    auto request = std::make_shared<ArmTrashPose::Request>();
    request->cmd = cmd;
    request->cam_choice = cam_choice;
    auto future = client_->async_send_request(request);
    if (future.wait_for(20s) != std::future_status::ready) {
      return nullptr;
    }
    return future.get();
  }

private:
  rclcpp::Node::SharedPtr node_;
  rclcpp::Publisher<sensor_msgs::msg::CameraInfo>::SharedPtr info_pub_;
  rclcpp::TimerBase::SharedPtr timer_;
  std::shared_ptr<tf2_ros::StaticTransformBroadcaster> broadcaster_;
  rclcpp::Client<ArmTrashPose>::SharedPtr client_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;
  std::vector<rclcpp::SubscriptionBase::SharedPtr> subscriptions_;
  std::thread spinner_;
};

void ExpectTimeoutAnswer(Driver& driver, test::NodeProcess& node) {
  const auto start = std::chrono::steady_clock::now();
  const auto response = driver.Call(7, 3);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  ASSERT_NE(response, nullptr) << node.Output();
  // Every camera timed out: the response keeps its initial values.
  EXPECT_EQ(response->error_code, 0);
  EXPECT_EQ(response->error_msg, "");
  // (A default-constructed record: zero positions, identity orientations.)
  const moorwick_protocol::msg::TrashInfo initial;
  EXPECT_EQ(response->trash_info, initial);
  EXPECT_EQ(response->trash_info.arm_pose.position.x, 0.0);
  EXPECT_EQ(response->trash_info.arm_pose.orientation.w, 1.0);
  EXPECT_TRUE(node.WaitForOutput("detect completed !", 10s)) << node.Output();
  const std::string output = node.Output();
  EXPECT_NE(output.find("Received cmd: 7  cam_choice: 3"), std::string::npos);
  EXPECT_NE(output.find("cam_1: trash pose detect process timeout"), std::string::npos);
  EXPECT_NE(output.find("is_camera_1_detect_done_: false"), std::string::npos);
  ::testing::Test::RecordProperty("detect_call_ms", static_cast<int>(elapsed.count()));
}

void ExpectSigintEndsWithZero(test::NodeProcess& node) {
  node.Interrupt();
  ASSERT_TRUE(node.Exited(20s)) << node.Output();
  ASSERT_TRUE(node.ExitedNormally()) << "status " << node.raw_status() << "\n" << node.Output();
  EXPECT_EQ(node.ExitCode(), 0) << node.Output();
}

TEST(NodeProcessTest, ServesTopicsAndAnswersWithTheTimeOut) {
  test::TempPrefix prefix("node_process_ok");
  WriteTestConfig(prefix, kCameraInfoTopic);
  Driver driver(/*publish_transform=*/true);
  test::NodeProcess node(prefix.root(), kDomainId);
  ASSERT_TRUE(node.WaitForOutput("DetectionNode executor thread start!", 90s)) << node.Output();

  using sensor_msgs::msg::Image;
  using sensor_msgs::msg::PointCloud2;
  using visualization_msgs::msg::MarkerArray;
  const std::string cam_topics = "/moorwick_arm_trash_detect/cam1";
  EXPECT_EQ(driver.MatchPublisher<Image>(cam_topics + "_detected_image", 20s), 1U);
  EXPECT_EQ(driver.MatchPublisher<PointCloud2>(cam_topics + "_trashes_cloud", 20s), 1U);
  EXPECT_EQ(driver.MatchPublisher<PointCloud2>(cam_topics + "_trashes_init_cloud", 20s), 1U);
  EXPECT_EQ(driver.MatchPublisher<MarkerArray>(cam_topics + "_trash_obb_markers", 20s), 1U);
  EXPECT_EQ(driver.MatchPublisher<MarkerArray>(cam_topics + "_trash_pose", 20s), 1U);
  EXPECT_EQ(driver.MatchPublisher<moorwick_protocol::msg::GrabTrashCloud>(
                "/moorwick_arm_trash_detect/grab_trash_cloud", 20s),
            1U);
  EXPECT_EQ(driver.MatchSubscription<Image>("/node_process_test/color/image_raw", 20s), 1U);
  EXPECT_EQ(
      driver.MatchSubscription<Image>("/node_process_test/aligned_depth_to_color/image_raw", 20s),
      1U);

  const std::string output = node.Output();
  EXPECT_NE(output.find("cam_num_: 1"), std::string::npos) << output;
  EXPECT_NE(output.find("cam_1 : fx=615.25, cx=641.50, fy=614.75, cy=362.25, width=1280, "
                        "height=720"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("cam_1: cam_to_arm_base_transform_matrix"), std::string::npos) << output;
  EXPECT_EQ(output.find("ErrorCode:102200001"), std::string::npos) << output;
  EXPECT_NE(output.find("cam_1_camera_info_topic = /node_process_test/color/camera_info"),
            std::string::npos);

  ExpectTimeoutAnswer(driver, node);
  // A second call runs the same way: the flags were left ready for it.
  ExpectTimeoutAnswer(driver, node);
  ExpectSigintEndsWithZero(node);
}

TEST(NodeProcessTest, EmptyCameraInfoTopicIsReportedAndTheNodeServes) {
  test::TempPrefix prefix("node_process_no_info");
  WriteTestConfig(prefix, "");
  Driver driver(/*publish_transform=*/true);
  test::NodeProcess node(prefix.root(), kDomainId);
  ASSERT_TRUE(node.WaitForOutput("DetectionNode executor thread start!", 90s)) << node.Output();
  const std::string output = node.Output();
  EXPECT_NE(output.find("[ERROR] ErrorCode:102200001, camera param info initialize failed."),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("cam_1 : fx="), std::string::npos) << output;
  ExpectTimeoutAnswer(driver, node);
  ExpectSigintEndsWithZero(node);
}

TEST(NodeProcessTest, MissingTransformIsReportedAndTheNodeServes) {
  test::TempPrefix prefix("node_process_no_tf");
  WriteTestConfig(prefix, kCameraInfoTopic);
  Driver driver(/*publish_transform=*/false);
  test::NodeProcess node(prefix.root(), kDomainId);
  ASSERT_TRUE(node.WaitForOutput("DetectionNode executor thread start!", 90s)) << node.Output();
  // The node's static transform broadcaster is the only /tf_static writer here.
  EXPECT_EQ(driver.MatchPublisher<tf2_msgs::msg::TFMessage>("/tf_static", 20s), 1U);
  const std::string output = node.Output();
  EXPECT_NE(output.find("cam_1 : fx=615.25"), std::string::npos) << output;
  EXPECT_NE(output.find(std::string("[ERROR] Transform ") + kCamFrame +
                        " to arm_base_link error of sensor data:"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find(std::string("[ERROR] Failed to lookup transform from ") + kCamFrame +
                        " to arm_base_link, quitting callback"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("[ERROR] ErrorCode:102200001, camera param info initialize failed."),
            std::string::npos)
      << output;
  ExpectTimeoutAnswer(driver, node);
  ExpectSigintEndsWithZero(node);
}

TEST(NodeProcessTest, EmptyCameraListStillServes) {
  test::TempPrefix prefix("node_process_no_cameras");
  prefix.WriteConfig("trash_pose_detect_config.yaml", std::string("moorwick_arm_trash_detect:\n"
                                                                  "  max_grab_radius: 1.0\n"
                                                                  "  aim_grab_radius: 0.05\n"
                                                                  "  detect_timeout_ms: 300\n"
                                                                  "  trash_detect_node_array: []\n"
                                                                  "  detect_service: ") +
                                                          kServiceName + "\n");
  Driver driver(/*publish_transform=*/false);
  test::NodeProcess node(prefix.root(), kDomainId);
  ASSERT_TRUE(node.WaitForOutput("DetectionNode executor thread start!", 60s)) << node.Output();
  EXPECT_NE(node.Output().find("cam_num_: 0"), std::string::npos) << node.Output();
  const auto response = driver.Call(0, 0);
  ASSERT_NE(response, nullptr) << node.Output();
  EXPECT_EQ(response->error_code, 0);
  EXPECT_EQ(response->trash_info, moorwick_protocol::msg::TrashInfo());
  EXPECT_TRUE(node.WaitForOutput("detect completed !", 10s)) << node.Output();
  EXPECT_EQ(node.Output().find("timeout"), std::string::npos) << node.Output();
  ExpectSigintEndsWithZero(node);
}

}  // namespace
}  // namespace moorwick
