// The detect service's hand-shake and target choice, driven through real camera
// nodes whose frame results a responder thread delivers, as an image callback
// would; and the node assembled from its files.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include <cv_bridge/cv_bridge.h>
#include <tf2_eigen/tf2_eigen.hpp>

#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_arm_trash_detect/node/detection_node.hpp"
#include "moorwick_test/node_support.hpp"

namespace moorwick {
namespace {

TrashInfo PieceAtArm(std::uint8_t class_id, double x, double y, double z) {
  return {class_id, 0, 0, 0, {}, {x, y, z, 0, 0, 0, 1}, {}, {0.01 * class_id, 0.0, 0.0}};
}

// Far from the arm base (x = 5): an aim choice must not depend on arm_pose.
TrashInfo PieceAtMap(std::uint8_t class_id, double x, double y, double z) {
  return {class_id, 0, 0, 0, {x, y, z, 0, 0, 0, 1}, {5.0, 0, 0, 0, 0, 0, 1}, {}, {0.0, 0.0, 0.0}};
}

// Plays one camera's image callback: waits until the service arms the camera,
// then hands over its records as a processed frame would.
class Responder {
public:
  Responder(std::shared_ptr<CameraDetectionNode> camera, std::vector<TrashInfo> infos)
      : camera_(std::move(camera)), infos_(std::move(infos)) {
    // The first frame after start-up has been processed.
    camera_->is_start_detect_ = false;
    thread_ = std::thread([this] {
      while (!stop_) {
        if (camera_->is_start_detect_) {
          camera_->FinishDetect(infos_);
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }

private:
  std::shared_ptr<CameraDetectionNode> camera_;
  std::vector<TrashInfo> infos_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class DetectServiceTest : public moorwick_test::NodeSuiteTest {
protected:
  std::shared_ptr<CameraDetectionNode> Camera(int cam_id, bool aim = false) {
    const std::string name =
        "detect_service_test_cam" + std::to_string(cam_id) + "_" + std::to_string(counter_++);
    auto node = std::make_shared<rclcpp::Node>(name);
    auto camera = std::make_shared<CameraDetectionNode>(node);
    camera->cam_id = cam_id;
    camera->is_grab_aim_trash = aim;
    cameras_.push_back(camera);
    return camera;
  }

  DetectAnswer Run(std::int32_t cmd = 0, std::uint8_t cam_choice = 0,
                   const TrashInfo& aim = TrashInfo{}) {
    DetectAnswer answer;
    RunDetect(cameras_, settings_, cmd, cam_choice, aim, answer);
    return answer;
  }

  DetectSettings settings_{1.0F, 0.05F, 150};
  std::vector<std::shared_ptr<CameraDetectionNode>> cameras_;
  static inline int counter_ = 0;
};

// One camera of a run: the records its next frame hands over, or none at all
// (a silent camera, which times out).
struct CamRow {
  int cam_id;
  bool aim;
  std::optional<std::vector<TrashInfo>> records;
};
CamRow Cam(int cam_id, std::vector<TrashInfo> records, bool aim = false) {
  return {cam_id, aim, std::move(records)};
}

constexpr std::size_t kSome = 0;  // a line count meaning "at least once"

struct RequestRow {
  std::int32_t cmd{0};
  std::uint8_t cam_choice{0};
  std::array<double, 3> aim{1.0, 2.0, 0.0};  // map position, for aim-mode cameras
};

struct ChoiceCase {
  struct {
    const char* name;
    std::int32_t code;
    int class_id;  // of the chosen record; 0 when nothing is chosen
  } outcome;
  std::vector<CamRow> cams;
  std::vector<std::string> once;                               // lines logged exactly once
  std::vector<std::pair<std::string, std::size_t>> counted{};  // other counts
  RequestRow request{};
};

TEST_F(DetectServiceTest, AnswersWithTheChosenRecordOrTheError) {
  const std::map<std::int32_t, std::string> messages{{102200000, "NONE: 无错误"},
                                                     {102200003, "TRASH_POSE_LIST_EMPTY"},
                                                     {102200010, "NO_TARGET_TRASH_CHOOSED"}};
  const std::vector<ChoiceCase> cases{
      // The equally near third piece does not replace the second.
      {{"radius: nearest", 102200000, 2},
       {Cam(1, {PieceAtArm(1, 0.8, 0, 0), PieceAtArm(2, 0, 0.5, 0), PieceAtArm(3, 0, 0, 0.5)})},
       {"Received cmd: 0  cam_choice: 0", "d_min is now:0.8", "d_min is now:0.5",
        "cam_1: Choosed target trash need to grab!", "detect completed !"},
       {{"d_min is now:", 2}}},
      {{"radius: nothing in reach, next camera", 102200000, 7},
       {Cam(1, {PieceAtArm(1, 1.2, 0, 0), PieceAtArm(2, 0.0, -1.0, 0.0)}),
        Cam(2, {PieceAtArm(7, 0.3, 0.1, -0.1)})},
       {"cam_1: failed to choose target trash!", "cam_2: Choosed target trash need to grab!"}},
      {{"aim: nearest inside the radius", 102200000, 2},
       {Cam(3,
            {PieceAtMap(1, 1.03, 2.0, 0.0), PieceAtMap(2, 1.0, 2.01, 0.0),
             PieceAtMap(3, 1.2, 2.0, 0.0)},
            true)},
       {"aim_trash_info.map_pose: x:1.000, y:2.000, z:0.000,",
        "trash_infos[2].map_pose: x:1.200, y:2.000, z:0.000,",
        "Distance from target to aim trash is: dx:0.030, dy:0.000, dz:0.000, d:0.030"},
       {{"d_min is now:", 2}}},
      {{"aim: none inside the radius", 102200010, 0},
       {Cam(3, {PieceAtMap(1, 1.06, 2.0, 0.0), PieceAtMap(2, 1.0, 2.0, 0.3)}, true)},
       {"cam_3: failed to choose target trash!"}},
      // A NaN aim is near no piece.
      {{"aim: NaN", 102200010, 0},
       {Cam(3, {PieceAtMap(1, 1.0, 2.0, 0.0)}, true)},
       {"cam_3: failed to choose target trash!"},
       {},
       {0, 0, {std::numeric_limits<double>::quiet_NaN(), 2.0, 0.0}}},
      // Nor is an infinite one, or one beyond float range (infinite once narrowed).
      {{"aim: infinite", 102200010, 0},
       {Cam(3, {PieceAtMap(1, 1.0, 2.0, 0.0)}, true)},
       {"cam_3: failed to choose target trash!"},
       {},
       {0, 0, {std::numeric_limits<double>::infinity(), 2.0, 0.0}}},
      {{"aim: beyond float", 102200010, 0},
       {Cam(3, {PieceAtMap(1, 1.0, 2.0, 0.0)}, true)},
       {"cam_3: failed to choose target trash!"},
       {},
       {0, 0, {1e39, 2.0, 0.0}}},
      {{"empty list", 102200003, 0}, {Cam(1, {})}, {"cam_1: failed to detect trash need to grab!"}},
      {{"empty list, later camera chooses", 102200000, 4},
       {Cam(1, {}), Cam(2, {PieceAtArm(4, 0.4, 0, 0)})},
       {}},
      {{"first camera times out", 102200000, 5},
       {{1, false, std::nullopt}, Cam(2, {PieceAtArm(5, 0.2, 0.2, 0)})},
       {"cam_1: trash pose detect process timeout"},
       {{"is_camera_1_detect_done_: false", kSome}, {"waiting detect to complete", kSome}}},
      // cmd and cam_choice are logged and change nothing.
      {{"odd cmd and cam_choice", 102200000, 3},
       {Cam(1, {PieceAtArm(1, 2.0, 0, 0)}),
        Cam(2, {PieceAtArm(2, 0.6, 0, 0), PieceAtArm(3, 0.4, 0, 0)})},
       {"Received cmd: -5  cam_choice: 255", "cam_1: failed to choose target trash!"},
       {},
       {-5, 255}},
  };
  for (const ChoiceCase& c : cases) {
    const auto& [name, code, class_id] = c.outcome;
    SCOPED_TRACE(name);
    cameras_.clear();
    log_->Clear();
    std::vector<std::unique_ptr<Responder>> responders;
    TrashInfo chosen{};
    for (const CamRow& row : c.cams) {
      auto camera = Camera(row.cam_id, row.aim);
      camera->is_start_detect_ = false;  // its first frame after start-up is done
      if (row.records) {
        responders.push_back(std::make_unique<Responder>(camera, *row.records));
        for (const TrashInfo& r : *row.records) {
          chosen = r.class_id == class_id ? r : chosen;
        }
      }
    }
    const TrashInfo aim = c.cams[0].aim
                              ? PieceAtMap(9, c.request.aim[0], c.request.aim[1], c.request.aim[2])
                              : TrashInfo{};
    const DetectAnswer answer = Run(c.request.cmd, c.request.cam_choice, aim);
    responders.clear();
    EXPECT_EQ(answer.error_code, code);
    EXPECT_EQ(answer.error_msg, messages.at(code));
    // Every field, through the message (the record has padding after its four bytes).
    EXPECT_TRUE(ToMsg(answer.trash_info) == ToMsg(chosen)) << int(answer.trash_info.class_id);
    for (const std::string& text : c.once) {
      EXPECT_EQ(log_->Containing(text), 1U) << text;
    }
    for (const auto& [text, count] : c.counted) {
      if (count == kSome) {
        EXPECT_GE(log_->Containing(text), 1U) << text;
      } else {
        EXPECT_EQ(log_->Containing(text), count) << text;
      }
    }
    for (std::size_t i = 0; i < c.cams.size(); ++i) {
      EXPECT_FALSE(cameras_[i]->is_detect_done_);
      // A silent camera stays armed for its next frame.
      EXPECT_EQ(cameras_[i]->is_start_detect_, !c.cams[i].records.has_value());
    }
  }
}

TEST_F(DetectServiceTest, StaleResultOfATimedOutFrameIsNotTakenByTheNextCall) {
  auto cam = Camera(1);
  cam->is_start_detect_ = false;
  Run();  // times out
  // The frame finishes only after the service gave up on it.
  cam->FinishDetect({PieceAtArm(6, 0.3, 0, 0)});
  cam->is_start_detect_ = false;
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 0);
  EXPECT_EQ(log_->Containing("trash pose detect process timeout"), 2U);
}

// Real-time cameras rewrite their list on every frame while the service reads
// it; run under ThreadSanitizer this must stay quiet.
TEST_F(DetectServiceTest, ConcurrentFramesNeverTearTheList) {
  auto cam = Camera(1);
  const std::vector<TrashInfo> frame_a{PieceAtArm(1, 0.3, 0, 0), PieceAtArm(2, 0.2, 0, 0)};
  const std::vector<TrashInfo> frame_b{PieceAtArm(3, 0.1, 0, 0)};
  std::atomic<bool> stop{false};
  std::thread frames([&] {
    bool flip = false;
    while (!stop) {
      cam->FinishDetect(flip ? frame_a : frame_b);
      flip = !flip;
    }
  });
  for (int i = 0; i < 50; ++i) {
    const DetectAnswer answer = Run();
    ASSERT_EQ(answer.error_code, 102200000);
    EXPECT_TRUE(answer.trash_info.class_id == 2 || answer.trash_info.class_id == 3)
        << static_cast<int>(answer.trash_info.class_id);
  }
  stop = true;
  frames.join();
}

// Every field set apart, so that a dropped or swapped one shows.
TEST(TrashInfoMessage, RoundTripKeepsEveryField) {
  moorwick_protocol::msg::TrashInfo msg;
  msg.class_id = 21;
  msg.reserved_1 = 3;
  msg.main_axis_type = 4;
  msg.reserved_3 = 5;
  double v = 0.5;
  for (auto* pose : {&msg.map_pose, &msg.arm_pose, &msg.obb_pose}) {
    for (double* f : {&pose->position.x, &pose->position.y, &pose->position.z, &pose->orientation.x,
                      &pose->orientation.y, &pose->orientation.z, &pose->orientation.w}) {
      *f = (v += 0.25);
    }
  }
  msg.obb_size = {0.11, 0.07, 0.03};
  EXPECT_EQ(FromMsg(msg).arm_pose.qx, msg.arm_pose.orientation.x);
  EXPECT_EQ(ToMsg(FromMsg(msg)), msg);
}

// The node built from its files, with a driver that publishes images,
// camera_info and the camera mounting the way the robot's would.
constexpr char kService[] = "/detection_node_test/arm_trash_pose";
constexpr char kCameraFile[] = R"(camera_detection_params: {
  cam_id: 7, cam_frame_id: dn_camera_optical_frame, is_debug: false,
  is_realtime_estimate: false, is_enable_semantic: false, is_enable_transparent: false,
  is_grab_aim_trash: true, detect_duration: 25, map_frame_id: dn_map,
  arm_base_frame_id: dn_arm_base, image_edge_threshold: 9, min_trash_cloud_size_treshold: 77,
  null_ratio_threshold: 0.45, hw_ratio_threshold: 1.7, mask_erosion_size: 3,
  pose_estimate_config_file: dn_pose_estimate_config.yaml, trash_mask_iou_v1: 0.55,
  ground_max_th: 0.02, detected_image_topic: /detection_node_test/detected,
  trashes_cloud_topic: /detection_node_test/trashes,
  camera_info_topic: /detection_node_test/camera_info_7, is_detect_grab_pose: true,
  rgb_topic: /detection_node_test/color, depth_topic: /detection_node_test/depth,
  model_type: seg, trash_class_ids: [1, 5, 14, 18], class_txt: trash_classes.txt})";

class DetectionNodeTest : public moorwick_test::NodeSuiteTest {
protected:
  using ImageMsg = sensor_msgs::msg::Image;

  void SetUp() override {
    NodeSuiteTest::SetUp();
    MakeShare("detection_node", "dn_pose_estimate_config.yaml");
    const auto config = share_->config();
    config_ =
        moorwick_test::EditConfig(config, "trash_pose_detect_config.yaml",
                                  "trash_pose_detect_config.yaml", [](YAML::Node& m) {
                                    m["moorwick_arm_trash_detect"]["detect_timeout_ms"] = 300;
                                    m["moorwick_arm_trash_detect"]["trash_detect_node_array"] =
                                        std::vector<std::string>{"dn_camera_a", "dn_camera_b"};
                                    m["moorwick_arm_trash_detect"]["detect_service"] = kService;
                                  });
    // The second camera in the list is camera 8, with its own camera_info.
    for (const int cam_id : {7, 8}) {
      moorwick_test::EditConfig(
          config, "cam1_detect_config.yaml",
          "cam" + std::to_string(cam_id - 6) + "_detect_config.yaml", [&](YAML::Node& c) {
            c = YAML::Load(kCameraFile);
            c["camera_detection_params"]["cam_id"] = cam_id;
            c["camera_detection_params"]["camera_info_topic"] =
                "/detection_node_test/camera_info_" + std::to_string(cam_id);
            c["camera_detection_params"]["model_cfg_file"] =
                std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/model_color_key.yaml";
          });
    }
    driver_node_ = std::make_shared<rclcpp::Node>("detection_node_test_driver");
    // The mounting tf gives, unlike the estimator file's.
    mounting_.translate(Eigen::Vector3d(0.1, -0.2, 0.35));
    mounting_.rotate(Eigen::AngleAxisd(2.2, Eigen::Vector3d(1.0, 0.2, 0.1).normalized()));
    auto t = tf2::eigenToTransform(mounting_);
    t.header.frame_id = "dn_arm_base";
    t.child_frame_id = "dn_camera_optical_frame";
    broadcaster_ = std::make_shared<tf2_ros::StaticTransformBroadcaster>(driver_node_);
    broadcaster_->sendTransform(t);
    driver_ = std::thread([this] { Drive(); });
  }

  void TearDown() override {
    stop_ = true;
    driver_.join();
    if (spinner_.joinable()) {
      node_->executor_->cancel();
      spinner_.join();
    }
    node_.reset();
    log_->Clear();
  }

  // Images at 50 Hz throughout; camera 7's camera_info at once, camera 8's
  // only once camera 7 has taken images for a while, so that construction
  // goes on while frames reach a finished camera.
  void Drive() {
    const auto qos = rclcpp::QoS(10);
    auto rgb = driver_node_->create_publisher<ImageMsg>("/detection_node_test/color", qos);
    auto depth = driver_node_->create_publisher<ImageMsg>("/detection_node_test/depth", qos);
    auto info7 = driver_node_->create_publisher<sensor_msgs::msg::CameraInfo>(
        "/detection_node_test/camera_info_7", qos);
    auto info8 = driver_node_->create_publisher<sensor_msgs::msg::CameraInfo>(
        "/detection_node_test/camera_info_8", qos);
    sensor_msgs::msg::CameraInfo info;
    info.width = 640;
    info.height = 360;
    info.k = {326.9, 0.0, 319.4, 0.0, 326.9, 181.7, 0.0, 0.0, 1.0};
    const cv::Mat floor(360, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    const cv::Mat far(360, 640, CV_16UC1, cv::Scalar(600));
    int frames_seen = 0;
    while (!stop_) {
      std_msgs::msg::Header header;
      header.stamp = driver_node_->now();
      if (images_) {
        rgb->publish(*cv_bridge::CvImage(header, "rgb8", floor).toImageMsg());
        depth->publish(*cv_bridge::CvImage(header, "16UC1", far).toImageMsg());
      }
      frames_seen += rgb->get_subscription_count() > 0 ? 1 : 0;
      info7->publish(info);
      if (frames_seen > 15) {
        info8->publish(info);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  void Build() { node_ = std::make_shared<DetectionNode>(config_); }
  void Spin() {
    spinner_ = std::thread([this] { node_->ExecutorThread(); });
  }

  std::string config_;
  rclcpp::Node::SharedPtr driver_node_;
  std::shared_ptr<tf2_ros::StaticTransformBroadcaster> broadcaster_;
  Eigen::Isometry3d mounting_{Eigen::Isometry3d::Identity()};
  std::atomic<bool> stop_{false};
  std::atomic<bool> images_{true};
  std::thread driver_;
  std::shared_ptr<DetectionNode> node_;
  std::thread spinner_;
};

TEST_F(DetectionNodeTest, CamerasAreBuiltFromTheirFilesBeforeAnyFrameIsTaken) {
  Build();
  ASSERT_EQ(node_->cam_num_, 2U);
  // Frames arrived during construction; none was taken before the executor ran.
  EXPECT_EQ(log_->Containing("model->detect cost"), 0U);
  const CameraDetectionNode& cam = *node_->cam_detect_nodes_[0];
  EXPECT_FALSE(cam.is_detect_done_);

  const YAML::Node f = YAML::Load(kCameraFile)["camera_detection_params"];
  EXPECT_EQ(cam.cam_id, 7);
  EXPECT_EQ(node_->cam_detect_nodes_[1]->cam_id, 8);
  EXPECT_EQ(cam.cam_frame_id, f["cam_frame_id"].as<std::string>());
  EXPECT_EQ(cam.is_debug, f["is_debug"].as<bool>());
  EXPECT_EQ(cam.is_realtime_estimate, f["is_realtime_estimate"].as<bool>());
  EXPECT_EQ(cam.is_enable_semantic, f["is_enable_semantic"].as<bool>());
  EXPECT_EQ(cam.is_enable_transparent, f["is_enable_transparent"].as<bool>());
  EXPECT_EQ(cam.is_grab_aim_trash, f["is_grab_aim_trash"].as<bool>());
  EXPECT_EQ(cam.detect_duration, f["detect_duration"].as<int>());
  EXPECT_EQ(cam.map_frame_id, f["map_frame_id"].as<std::string>());
  EXPECT_EQ(cam.arm_base_frame_id, f["arm_base_frame_id"].as<std::string>());
  EXPECT_EQ(cam.image_edge_threshold, f["image_edge_threshold"].as<int>());
  EXPECT_EQ(cam.min_trash_cloud_size_treshold, f["min_trash_cloud_size_treshold"].as<unsigned>());
  EXPECT_EQ(cam.null_ratio_threshold, f["null_ratio_threshold"].as<float>());
  EXPECT_EQ(cam.hw_ratio_threshold, f["hw_ratio_threshold"].as<float>());
  EXPECT_EQ(cam.mask_erosion_size, f["mask_erosion_size"].as<int>());
  EXPECT_EQ(cam.trash_mask_iou_v1, f["trash_mask_iou_v1"].as<float>());
  EXPECT_EQ(cam.ground_max_th, f["ground_max_th"].as<float>());
  EXPECT_EQ(cam.is_detect_grab_pose, f["is_detect_grab_pose"].as<bool>());
  EXPECT_EQ(cam.m_model_type_, f["model_type"].as<std::string>());
  EXPECT_EQ(cam.trash_class_ids, f["trash_class_ids"].as<std::vector<int>>());
  EXPECT_EQ(cam.grab_pose_estimate_->data_file_prefix_.rfind(share_->root().string(), 0), 0U);
  EXPECT_STREQ(cam.detected_image_pub_->get_topic_name(), "/detection_node_test/detected");
  EXPECT_STREQ(cam.trashes_cloud_pub_->get_topic_name(), "/detection_node_test/trashes");
  // Fixed topics carry cam_id, not the camera's place in the list.
  for (const auto& camera : node_->cam_detect_nodes_) {
    const std::string prefix = "/moorwick_arm_trash_detect/cam" + std::to_string(camera->cam_id);
    EXPECT_EQ(camera->trash_obb_markers_pub_->get_topic_name(), prefix + "_trash_obb_markers");
    EXPECT_EQ(camera->trash_pose_pub_->get_topic_name(), prefix + "_trash_pose");
    EXPECT_EQ(camera->trashes_init_cloud_pub_->get_topic_name(), prefix + "_trashes_init_cloud");
  }
  // Intrinsics from camera_info, the mounting from tf.
  EXPECT_EQ(cam.camera_params_.width, 640U);
  EXPECT_EQ(cam.camera_params_.fx, 326.9F);
  EXPECT_TRUE(
      cam.grab_pose_estimate_->camera_extrinsic_.isApprox(mounting_.matrix().cast<float>(), 1e-6F))
      << cam.grab_pose_estimate_->camera_extrinsic_;

  Spin();
  EXPECT_TRUE(
      moorwick_test::WaitFor([&] { return cam.is_detect_done_.load(); }, std::chrono::seconds(20)))
      << "the executor took no frame";
}

// Two calls at once are answered one after the other: each call's lines
// stand between its start and end lines.
TEST_F(DetectionNodeTest, ServiceCallsNeverOverlap) {
  images_ = false;  // the cameras stay silent: each call waits out its time-outs
  Build();
  Spin();
  auto client_node = std::make_shared<rclcpp::Node>("detection_node_test_client");
  auto client = client_node->create_client<DetectionNode::ArmTrashPose>(kService);
  ASSERT_TRUE(client->wait_for_service(std::chrono::seconds(20)));
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(client_node);
  std::thread spinner([&] { executor.spin(); });
  auto first = client->async_send_request(std::make_shared<DetectionNode::ArmTrashPose::Request>());
  auto second =
      client->async_send_request(std::make_shared<DetectionNode::ArmTrashPose::Request>());
  const bool answered =
      first.future.wait_for(std::chrono::seconds(30)) == std::future_status::ready &&
      second.future.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  executor.cancel();
  spinner.join();
  ASSERT_TRUE(answered);
  std::string order;
  for (const auto& line : log_->Lines()) {
    order += line.text.find("Start detect") != std::string::npos         ? "S"
             : line.text.find("detect completed !") != std::string::npos ? "E"
                                                                         : "";
  }
  EXPECT_EQ(order, "SESE");
}

}  // namespace
}  // namespace moorwick
