// The node as a user runs it: its own process, a share prefix found through
// AMENT_PREFIX_PATH, sim_camera processes as drivers, all over DDS.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "moorwick_test/demo_node.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

namespace moorwick_test {
namespace {

using NodeEndToEnd = DemoNodeTest<90>;

TEST_F(NodeEndToEnd, SingleCameraAnswersEachReachablePieceWithinTenMillimetres) {
  std::mutex m;
  int images = 0;
  sensor_msgs::msg::Image last;
  auto sub = node_->create_subscription<sensor_msgs::msg::Image>(
      "/moorwick_arm_trash_detect/cam1_detected_image", rclcpp::QoS(1),
      [&](sensor_msgs::msg::Image::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        ++images;
        last = *msg;
      });
  StartSim(config_ / "scene.yaml", {"--rate", "5"});
  StartNode();
  for (int k = 0; k < static_cast<int>(scene_.scene.pieces.size()); ++k) {
    const auto truth = moorwick_sim::ComputePieceTruth(scene_.scene, k);
    SCOPED_TRACE(truth.name);
    const auto answer = Call(MapOf(k));
    ASSERT_TRUE(answer.has_value()) << NodeLog();
    if (truth.name.find("out of reach") != std::string::npos) {
      EXPECT_EQ(answer->error_code, kNoTarget);
      EXPECT_EQ(answer->error_msg, "NO_TARGET_TRASH_CHOOSED");
      continue;
    }
    ASSERT_EQ(answer->error_code, kNone) << answer->error_msg << "\n" << NodeLog();
    EXPECT_EQ(answer->error_msg, "NONE: 无错误");
    EXPECT_EQ(answer->trash_info.class_id, truth.class_index);
    const auto error = moorwick_sim::CompareGrab(truth, Position(answer->trash_info.arm_pose));
    EXPECT_TRUE(error.ok) << error.horizontal_mm << " mm horizontally, " << error.vertical_mm
                          << " mm vertically";
    // Aim mode fills the map pose through the map transform of sim_camera.
    const Eigen::Vector3d map_expected =
        scene_.map_from_arm_base * Position(answer->trash_info.arm_pose);
    EXPECT_LT((Position(answer->trash_info.map_pose) - map_expected).norm(), 1e-3);
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> l(m);
        return images > 0;
      },
      std::chrono::seconds(5)));
  std::lock_guard<std::mutex> l(m);
  EXPECT_EQ(last.encoding, "rgb8");
  EXPECT_EQ(last.width, 640U);
  EXPECT_EQ(last.height, 360U);
}

TEST_F(NodeEndToEnd, SecondCameraAnswersWhenTheFirstStreamHasStopped) {
  main_ = Replace(main_, "    - demo_camera_trash_detect_node\n",
                  "    - demo_camera_trash_detect_node\n    - demo_camera2_trash_detect_node\n");
  main_ = SetKey(main_, "detect_timeout_ms", "1500");
  std::string cam2 = Replace(cam1_, "/camera/", "/camera2/");
  cam2 = Replace(cam2, "cam1_", "cam2_");
  cam2 = SetKey(cam2, "cam_id", "2");
  cam2 = SetKey(cam2, "cam_frame_id", "camera2_color_optical_frame");
  WriteFile(config_ / "cam2_detect_config.yaml", cam2);
  std::string scene2 = Replace(ReadFile(config_ / "scene.yaml"), "/camera/", "/camera2/");
  scene2 = SetKey(scene2, "frame_id", "camera2_color_optical_frame");
  WriteFile(config_ / "scene2.yaml", scene2);

  Process& first = StartSim(config_ / "scene.yaml", {"--rate", "5"});
  StartSim(config_ / "scene2.yaml", {"--rate", "5"});
  StartNode();
  ASSERT_TRUE(client_->wait_for_service(std::chrono::seconds(90))) << NodeLog();
  first.stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const auto answer = Call(MapOf(0));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone) << NodeLog();
  EXPECT_EQ(answer->trash_info.class_id, scene_.scene.pieces[0].class_index);
  // Camera 1's wait ran out first.
  EXPECT_NE(NodeLog().find("cam_1: trash pose detect process timeout"), std::string::npos);
}

// With real-time estimation every frame publishes the inspection output: the
// merged clouds, one OBB marker and two arrows per record, and one static
// transform per record named after the camera.
TEST_F(NodeEndToEnd, InspectionOutputOnTheCameraTopics) {
  cam1_ = SetKey(cam1_, "is_realtime_estimate", "true");
  std::mutex m;
  std::vector<sensor_msgs::msg::PointCloud2> clouds, init_clouds;
  std::vector<visualization_msgs::msg::MarkerArray> obbs, poses;
  std::set<std::string> static_children;
  auto c1 = node_->create_subscription<sensor_msgs::msg::PointCloud2>(
      "/moorwick_arm_trash_detect/cam1_trashes_cloud", rclcpp::QoS(1),
      [&](sensor_msgs::msg::PointCloud2::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        clouds.push_back(*msg);
      });
  auto c2 = node_->create_subscription<sensor_msgs::msg::PointCloud2>(
      "/moorwick_arm_trash_detect/cam1_trashes_init_cloud", rclcpp::QoS(1),
      [&](sensor_msgs::msg::PointCloud2::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        init_clouds.push_back(*msg);
      });
  auto c3 = node_->create_subscription<visualization_msgs::msg::MarkerArray>(
      "/moorwick_arm_trash_detect/cam1_trash_obb_markers", rclcpp::QoS(1),
      [&](visualization_msgs::msg::MarkerArray::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        obbs.push_back(*msg);
      });
  auto c4 = node_->create_subscription<visualization_msgs::msg::MarkerArray>(
      "/moorwick_arm_trash_detect/cam1_trash_pose", rclcpp::QoS(1),
      [&](visualization_msgs::msg::MarkerArray::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        poses.push_back(*msg);
      });
  auto c5 = node_->create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf_static", rclcpp::QoS(100).transient_local(),
      [&](tf2_msgs::msg::TFMessage::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        for (const auto& t : msg->transforms)
          static_children.insert(t.child_frame_id);
      });
  StartSim(config_ / "scene.yaml", {"--rate", "5"});
  StartNode();
  const auto answer = Call(MapOf(1));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone) << NodeLog();
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> l(m);
        return !clouds.empty() && !init_clouds.empty() && !obbs.empty() && !poses.empty() &&
               static_children.count("cam_1_trash_pose_3") == 1;
      },
      std::chrono::seconds(30)))
      << NodeLog();
  std::lock_guard<std::mutex> l(m);
  EXPECT_EQ(clouds.back().header.frame_id, "arm_base_link");
  EXPECT_GT(clouds.back().width * clouds.back().height, 150U);
  EXPECT_EQ(init_clouds.back().header.frame_id, "arm_base_link");
  // The three reachable pieces give three records.
  const auto& obb = obbs.back();
  ASSERT_EQ(obb.markers.size(), 3U);
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(obb.markers[j].ns, "cam_1_trash_obb");
    EXPECT_EQ(obb.markers[j].id, static_cast<int>(j));
    EXPECT_EQ(obb.markers[j].type, 1);
    EXPECT_GT(obb.markers[j].scale.x, 0.05);
  }
  ASSERT_EQ(poses.back().markers.size(), 6U);
  std::multiset<std::string> namespaces;
  for (const auto& marker : poses.back().markers)
    namespaces.insert(marker.ns);
  EXPECT_EQ(namespaces.count("trash_pose_x"), 3U);
  EXPECT_EQ(namespaces.count("trash_pose_z"), 3U);
  EXPECT_EQ(static_children.count("cam_1_trash_pose_1"), 1U);
  EXPECT_EQ(static_children.count("cam_1_trash_pose_4"), 0U);
  EXPECT_EQ(static_children.count("camera_color_optical_frame"), 1U);  // sim_camera's mounting
}

TEST_F(NodeEndToEnd, CameraStartedAfterTheNodeIsPickedUp) {
  StartNode();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(node_proc_->running()) << NodeLog();
  StartSim(config_ / "scene.yaml", {"--rate", "5"});
  const auto answer = Call(MapOf(1), std::chrono::seconds(30));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone) << NodeLog();
  EXPECT_EQ(answer->trash_info.class_id, scene_.scene.pieces[1].class_index);
}

// sim_camera as a tool: a frame budget ends it with 0, a broken scene file
// with 1 and a line naming the file.
TEST_F(NodeEndToEnd, SimCameraStopsAfterTheAskedFramesAndRefusesABadSceneFile) {
  Process& sim = StartSim(config_ / "scene.yaml", {"--rate", "20", "--frames", "3"});
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(30)), 0) << sim.log();
  EXPECT_NE(sim.log().find("stopped after 3 frames"), std::string::npos) << sim.log();
  WriteFile(prefix_->root() / "bad.yaml", "camera: {width: 10}\n");
  Process& bad = StartSim(prefix_->root() / "bad.yaml");
  EXPECT_EQ(bad.wait_exit(std::chrono::seconds(10)), 1);
  EXPECT_NE(bad.log().find("bad.yaml"), std::string::npos) << bad.log();
}

}  // namespace
}  // namespace moorwick_test
