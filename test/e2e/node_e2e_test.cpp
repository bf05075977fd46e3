// The node as a user runs it: its own process, a share prefix found through
// AMENT_PREFIX_PATH, sim_camera processes as drivers, all over DDS.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "e2e_support.hpp"
#include "moorwick_protocol/msg/grab_trash_cloud.hpp"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

namespace moorwick_e2e {
namespace {

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;
constexpr int kNone = 102200000;
constexpr int kNoTarget = 102200010;
const std::string kService = "/moorwick_arm_trash_detect/arm_trash_pose";

class NodeEndToEnd : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // A domain of our own per run, so that two checkouts running the suite
    // at once (a developer and CI) do not answer each other's calls.
    setenv("ROS_DOMAIN_ID", std::to_string(90 + getpid() % 20).c_str(), 1);
    setenv("CYCLONEDDS_URI", "file://" MOORWICK_SOURCE_DIR "/config/cyclonedds_loopback.xml", 1);
    rclcpp::init(0, nullptr);
  }
  static void TearDownTestSuite() { rclcpp::shutdown(); }

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("moorwick_e2e_node_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    config_ = dir_ / "prefix/share/moorwick_arm_trash_detect/config";
    fs::create_directories(dir_ / "prefix/share/ament_index/resource_index/packages");
    fs::create_directories(config_.parent_path());
    WriteFile(dir_ / "prefix/share/ament_index/resource_index/packages/moorwick_arm_trash_detect",
              "");
    // The shipped configuration with the demo files laid over it, as the demo does.
    fs::copy(MOORWICK_SOURCE_DIR "/config", config_, fs::copy_options::recursive);
    for (const auto& entry : fs::directory_iterator(config_ / "demo")) {
      fs::copy_file(entry.path(), config_ / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
    }
    cam1_ = Replace(ReadFile(config_ / "cam1_detect_config.yaml"), "@DEMO_CONFIG_DIR@",
                    config_.string());
    WriteFile(config_ / "demo_pose_estimate_config.yaml",
              SetKey(ReadFile(config_ / "demo_pose_estimate_config.yaml"), "folder_path",
                     "\"" + (dir_ / "data").string() + "/\""));
    main_ = ReadFile(config_ / "trash_pose_detect_config.yaml");
    scene_ = moorwick_sim::LoadSceneFile((config_ / "scene.yaml").string());

    node_ = std::make_shared<rclcpp::Node>("node_e2e_probe");
    client_ = node_->create_client<ArmTrashPose>(kService);
    executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
    executor_->add_node(node_);
    spinner_ = std::thread([this] { executor_->spin(); });
  }

  void TearDown() override {
    node_proc_.reset();
    sims_.clear();
    if (executor_)
      executor_->cancel();
    if (spinner_.joinable())
      spinner_.join();
    if (!HasFailure())
      fs::remove_all(dir_);
  }

  void WriteConfig() {
    WriteFile(config_ / "cam1_detect_config.yaml", cam1_);
    WriteFile(config_ / "trash_pose_detect_config.yaml", main_);
  }

  Process& StartSim(const std::string& scene_file, const std::string& tag) {
    sims_.push_back(std::make_unique<Process>(
        std::vector<std::string>{SIM_CAMERA_EXE, scene_file, "--variants", "2", "--rate", "5"},
        dir_ / ("sim_" + tag + ".log")));
    return *sims_.back();
  }
  void StartNode(const std::string& tag = "node") {
    node_proc_ = std::make_unique<Process>(
        std::vector<std::string>{NODE_EXE}, dir_ / (tag + ".log"),
        std::vector<std::string>{"AMENT_PREFIX_PATH=" + (dir_ / "prefix").string(),
                                 "SPDLOG_LEVEL=info"});
  }

  // One detect call; nullopt when no answer came.
  std::optional<ArmTrashPose::Response> Call(
      const std::optional<Eigen::Vector3d>& aim,
      std::chrono::seconds timeout = std::chrono::seconds(20)) {
    if (!client_->wait_for_service(std::chrono::seconds(60)))
      return std::nullopt;
    auto request = std::make_shared<ArmTrashPose::Request>();
    request->cmd = 1;
    if (aim) {
      request->aim_trash_info.map_pose.position.x = aim->x();
      request->aim_trash_info.map_pose.position.y = aim->y();
      request->aim_trash_info.map_pose.position.z = aim->z();
    }
    auto future = client_->async_send_request(request);
    if (future.future.wait_for(timeout) != std::future_status::ready)
      return std::nullopt;
    return *future.future.get();
  }

  Eigen::Vector3d MapOf(int piece) const {
    return scene_.map_from_arm_base * moorwick_sim::ComputePieceTruth(scene_.scene, piece).center;
  }
  static Eigen::Vector3d Position(const geometry_msgs::msg::Pose& p) {
    return {p.position.x, p.position.y, p.position.z};
  }
  std::string NodeLog() const { return node_proc_ ? node_proc_->Log() : std::string(); }

  fs::path dir_, config_;
  std::string cam1_, main_;
  moorwick_sim::SceneFile scene_;
  rclcpp::Node::SharedPtr node_;
  rclcpp::Client<ArmTrashPose>::SharedPtr client_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;
  std::thread spinner_;
  std::vector<std::unique_ptr<Process>> sims_;
  std::unique_ptr<Process> node_proc_;
};

TEST_F(NodeEndToEnd, SingleCameraAnswersEachReachablePieceWithinTenMillimetres) {
  WriteConfig();
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
  StartSim((config_ / "scene.yaml").string(), "cam1");
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

TEST_F(NodeEndToEnd, RadiusChoiceAnswersThePieceNearestTheArm) {
  cam1_ = SetKey(cam1_, "is_grab_aim_trash", "false");
  WriteConfig();
  StartSim((config_ / "scene.yaml").string(), "cam1");
  StartNode();
  const auto answer = Call(std::nullopt);
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  ASSERT_EQ(answer->error_code, kNone) << NodeLog();
  // The standing bottle is the piece nearest the arm base origin.
  int nearest = -1;
  double best = 1e9;
  for (int k = 0; k < static_cast<int>(scene_.scene.pieces.size()); ++k) {
    const double d = moorwick_sim::ComputePieceTruth(scene_.scene, k).center.norm();
    if (d < best)
      best = d, nearest = k;
  }
  const auto truth = moorwick_sim::ComputePieceTruth(scene_.scene, nearest);
  EXPECT_EQ(answer->trash_info.class_id, truth.class_index);
  EXPECT_TRUE(moorwick_sim::CompareGrab(truth, Position(answer->trash_info.arm_pose)).ok);
  // Without aim mode the map pose stays the identity at the origin.
  EXPECT_EQ(Position(answer->trash_info.map_pose), Eigen::Vector3d::Zero());
  EXPECT_EQ(answer->trash_info.map_pose.orientation.w, 1.0);
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
  WriteConfig();
  std::string scene2 = Replace(ReadFile(config_ / "scene.yaml"), "/camera/", "/camera2/");
  scene2 = SetKey(scene2, "frame_id", "camera2_color_optical_frame");
  WriteFile(config_ / "scene2.yaml", scene2);

  Process& first = StartSim((config_ / "scene.yaml").string(), "cam1");
  StartSim((config_ / "scene2.yaml").string(), "cam2");
  StartNode();
  ASSERT_TRUE(client_->wait_for_service(std::chrono::seconds(90))) << NodeLog();
  first.Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const auto start = std::chrono::steady_clock::now();
  const auto answer = Call(MapOf(0));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone) << NodeLog();
  EXPECT_EQ(answer->trash_info.class_id, scene_.scene.pieces[0].class_index);
  EXPECT_GE(took, std::chrono::milliseconds(1500));  // camera 1's wait ran out first
  EXPECT_NE(NodeLog().find("cam_1: trash pose detect process timeout"), std::string::npos);
}

TEST_F(NodeEndToEnd, RealTimeCameraPublishesGrabTrashCloudEveryFrame) {
  cam1_ = SetKey(cam1_, "is_detect_grab_pose", "false");
  cam1_ = SetKey(cam1_, "is_realtime_estimate", "true");
  WriteConfig();
  std::mutex m;
  std::vector<moorwick_protocol::msg::GrabTrashCloud> got;
  auto sub = node_->create_subscription<moorwick_protocol::msg::GrabTrashCloud>(
      "/moorwick_arm_trash_detect/grab_trash_cloud", rclcpp::QoS(5),
      [&](moorwick_protocol::msg::GrabTrashCloud::SharedPtr msg) {
        std::lock_guard<std::mutex> l(m);
        got.push_back(*msg);
      });
  StartSim((config_ / "scene.yaml").string(), "cam1");
  StartNode();
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> l(m);
        return got.size() >= 3;
      },
      std::chrono::seconds(90)))
      << NodeLog();
  std::lock_guard<std::mutex> l(m);
  std::set<int> scene_classes;
  for (const auto& p : scene_.scene.pieces)
    scene_classes.insert(p.class_index);
  for (const auto& msg : got) {
    EXPECT_EQ(msg.cam_id, 1);
    EXPECT_EQ(msg.cam_frame_id, "camera_color_optical_frame");
    EXPECT_GE(msg.trashes.size(), 3U);
    for (const auto& t : msg.trashes) {
      EXPECT_EQ(scene_classes.count(t.class_id), 1U) << int(t.class_id);
      EXPECT_GT(t.cloud.width * t.cloud.height, 50U);
      EXPECT_EQ(t.cloud.header.frame_id, "arm_base_link");
      EXPECT_GT(t.obb_size[0], 0.05);
    }
  }
}

// With real-time estimation every frame publishes the inspection output: the
// merged clouds, one OBB marker and two arrows per record, and one static
// transform per record named after the camera.
TEST_F(NodeEndToEnd, InspectionOutputOnTheCameraTopics) {
  cam1_ = SetKey(cam1_, "is_realtime_estimate", "true");
  WriteConfig();
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
  StartSim((config_ / "scene.yaml").string(), "cam1");
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

TEST_F(NodeEndToEnd, DebugModeWritesTheCaptureFiles) {
  cam1_ = SetKey(cam1_, "is_debug", "true");
  WriteConfig();
  StartSim((config_ / "scene.yaml").string(), "cam1");
  StartNode();
  const auto answer = Call(MapOf(0));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone);
  std::map<std::string, int> kinds;
  const fs::path folder = dir_ / "data/demo_";
  ASSERT_TRUE(fs::exists(folder)) << NodeLog();
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    for (const char* suffix :
         {"[initial].jpg", "[detected].jpg", "[0][mask][initial].jpg", "[0][mask][eroded].jpg",
          "[0][initial].ply", "[0][transformed].ply", "[0][processed].ply"}) {
      const std::string s = suffix;
      if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0 &&
          name.rfind("demo_test_pose_", 0) == 0) {
        ++kinds[s];
      }
    }
  }
  for (const char* suffix :
       {"[initial].jpg", "[detected].jpg", "[0][mask][initial].jpg", "[0][mask][eroded].jpg",
        "[0][initial].ply", "[0][transformed].ply", "[0][processed].ply"}) {
    EXPECT_GE(kinds[suffix], 1) << suffix;
  }
  // A cloud file is ASCII PLY.
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().extension() == ".ply") {
      EXPECT_EQ(ReadFile(e.path()).rfind("ply\nformat ascii", 0), 0U) << e.path();
      break;
    }
  }
}

TEST_F(NodeEndToEnd, CameraStartedAfterTheNodeIsPickedUp) {
  WriteConfig();
  StartNode();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(node_proc_->Running()) << NodeLog();
  StartSim((config_ / "scene.yaml").string(), "cam1");
  const auto answer = Call(MapOf(1), std::chrono::seconds(30));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone) << NodeLog();
  EXPECT_EQ(answer->trash_info.class_id, scene_.scene.pieces[1].class_index);
}

TEST_F(NodeEndToEnd, NodeRestartedWhileTheCameraKeepsStreaming) {
  WriteConfig();
  StartSim((config_ / "scene.yaml").string(), "cam1");
  StartNode("node_first");
  auto answer = Call(MapOf(0));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone);
  const int status = node_proc_->Stop(std::chrono::seconds(10));
  EXPECT_FALSE(node_proc_->killed()) << "the node ignored SIGINT";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << NodeLog();
  StartNode("node_second");
  answer = Call(MapOf(2), std::chrono::seconds(30));
  ASSERT_TRUE(answer.has_value()) << NodeLog();
  EXPECT_EQ(answer->error_code, kNone) << NodeLog();
  EXPECT_EQ(answer->trash_info.class_id, scene_.scene.pieces[2].class_index);
}

}  // namespace
}  // namespace moorwick_e2e
