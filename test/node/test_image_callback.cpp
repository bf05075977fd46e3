// The grab-pose frame callback on rendered frames of the demo scene, called
// directly with the messages a driver would send: records near the truth, and
// every way a frame can end raises the done flag.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <cv_bridge/cv_bridge.h>
#include <opencv2/imgproc.hpp>
#include <rclcpp/rclcpp.hpp>

#include "log_capture.hpp"
#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "moorwick_sim/scene_render.hpp"
#include "node_process.hpp"

namespace moorwick {
namespace {

using ImageMsg = sensor_msgs::msg::Image;

// A model whose detection fails, as a broken backend would.
// (Built through the public constructor: the protected default one needs the
// library's private backend type to be complete.)
class ThrowingModel : public ai_moor::model::YOLOv8Seg {
public:
  explicit ThrowingModel(const std::string& cfg) : YOLOv8Seg(cfg) {}
  int detect(const cv::Mat&, std::vector<ai_moor::model::SegObject>&) override {
    throw std::runtime_error("backend lost its device");
  }
};

// The colour-key model, noting where the image it was given lives and what it
// answered.
class RecordingModel : public ai_moor::model::YOLOv8Seg {
public:
  explicit RecordingModel(const std::string& cfg) : YOLOv8Seg(cfg) {}
  int detect(const cv::Mat& image, std::vector<ai_moor::model::SegObject>& objects) override {
    seen_data = image.data;
    seen_image = image.clone();
    const int n = YOLOv8Seg::detect(image, objects);
    answered = objects;
    for (auto& obj : answered) {
      obj.mask = obj.mask.clone();
    }
    return n;
  }
  const std::uint8_t* seen_data{nullptr};
  cv::Mat seen_image;
  std::vector<ai_moor::model::SegObject> answered;
};

class ImageCallbackTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }

  void SetUp() override {
    log_ = test::InstallCaptureSink();
    prefix_ = std::make_unique<test::TempPrefix>("image_callback");
    ::setenv("AMENT_PREFIX_PATH", prefix_->root().c_str(), 1);
    scene_ =
        moorwick_sim::LoadSceneFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/scene.yaml");

    YAML::Node estimator = YAML::LoadFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) +
                                          "/demo/demo_pose_estimate_config.yaml");
    estimator["debug_choice"]["folder_path"] = (prefix_->root() / "data").string() + "/";
    std::ofstream(prefix_->config_dir() / "icb_pose_estimate_config.yaml") << estimator;

    const std::string path = (prefix_->config_dir() / "cam1_detect_config.yaml").string();
    YAML::Node cam = YAML::LoadFile(path);
    YAML::Node params = cam["camera_detection_params"];
    params["cam_frame_id"] = scene_.camera_frame_id;
    params["pose_estimate_config_file"] = "icb_pose_estimate_config.yaml";
    params["camera_info_topic"] = "";
    params["rgb_topic"] = "/image_callback_test/color";
    params["depth_topic"] = "/image_callback_test/depth";
    params["is_enable_semantic"] = true;
    params["trash_class_ids"] = std::vector<int>{1, 5, 14, 18};
    params["model_cfg_file"] =
        std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/model_color_key.yaml";
    std::ofstream(path) << cam;

    static int counter = 0;
    node_ = std::make_shared<rclcpp::Node>("image_callback_test_" + std::to_string(counter++));
    camera_ = moorwick::MakeCameraDetectionNode(node_, path);
    // Without a camera_info topic the intrinsics are the scene camera's.
    const auto& c = scene_.scene.camera;
    camera_->camera_params_ = {static_cast<float>(c.fx),
                               static_cast<float>(c.fy),
                               static_cast<float>(c.cx),
                               static_cast<float>(c.cy),
                               static_cast<std::uint32_t>(c.width),
                               static_cast<std::uint32_t>(c.height)};
    frame_ = moorwick_sim::RenderScene(scene_.scene, scene_.render);
    log_->Clear();
  }

  void TearDown() override {
    camera_.reset();
    node_.reset();
    prefix_.reset();
  }

  ImageMsg::ConstSharedPtr Rgb() const {
    std_msgs::msg::Header header;
    header.frame_id = scene_.camera_frame_id;
    return cv_bridge::CvImage(header, "rgb8", frame_.rgb).toImageMsg();
  }
  ImageMsg::ConstSharedPtr Depth(const cv::Mat& depth) const {
    std_msgs::msg::Header header;
    header.frame_id = scene_.camera_frame_id;
    return cv_bridge::CvImage(header, "16UC1", depth).toImageMsg();
  }

  std::shared_ptr<test::CaptureSink> log_;
  std::unique_ptr<test::TempPrefix> prefix_;
  moorwick_sim::SceneFile scene_;
  moorwick_sim::RenderedFrame frame_;
  rclcpp::Node::SharedPtr node_;
  std::shared_ptr<CameraDetectionNode> camera_;
};

TEST_F(ImageCallbackTest, ReachablePiecesBecomeRecordsNearTheirTruth) {
  ASSERT_TRUE(camera_->is_start_detect_);
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_FALSE(camera_->is_start_detect_);

  const std::vector<TrashInfo> records = camera_->CopyTrashInfos();
  std::size_t reachable = 0;
  for (const auto& truth : frame_.truth) {
    SCOPED_TRACE(truth.name);
    const TrashInfo* found = nullptr;
    for (const auto& r : records) {
      if (r.class_id == truth.class_index) {
        found = &r;
      }
    }
    if (truth.name.find("out of reach") != std::string::npos) {
      EXPECT_EQ(found, nullptr);
      continue;
    }
    ++reachable;
    ASSERT_NE(found, nullptr);
    const Eigen::Vector3d grab(found->arm_pose.px, found->arm_pose.py, found->arm_pose.pz);
    const auto error = moorwick_sim::CompareGrab(truth, grab);
    EXPECT_TRUE(error.ok) << grab.transpose() << " vs " << truth.center.transpose();
    EXPECT_EQ(found->main_axis_type, truth.main_axis_type);
    // Without the aim mode the map pose is the identity at the origin.
    EXPECT_EQ(found->map_pose.px, 0.0);
    EXPECT_EQ(found->map_pose.qw, 1.0);
  }
  EXPECT_EQ(records.size(), reachable);
  EXPECT_GE(reachable, 3U);
  EXPECT_EQ(log_->Count("cam_1: ImageCallback cost"), 1U);
}

// The point-count threshold is a lower bound: a piece with exactly the threshold
// passes, one point more in the threshold skips it with the warning.
TEST_F(ImageCallbackTest, PointCountThresholdIsInclusive) {
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  const std::string count_prefix = "cam_1: 垃圾序号[0]原始点云数量： ";
  std::size_t points = 0;
  for (const auto& line : log_->Lines()) {
    const auto at = line.find(count_prefix);
    if (at != std::string::npos) {
      points = std::stoul(line.substr(at + count_prefix.size()));
    }
  }
  ASSERT_GT(points, 0U);
  const std::size_t records_at_default = camera_->CopyTrashInfos().size();

  camera_->min_trash_cloud_size_treshold = static_cast<std::uint32_t>(points);
  camera_->ArmDetect();
  log_->Clear();
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_EQ(log_->Count("cam_1: 垃圾序号[0]原始点云数量少于"), 0U);

  camera_->min_trash_cloud_size_treshold = static_cast<std::uint32_t>(points + 1);
  camera_->ArmDetect();
  log_->Clear();
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_EQ(log_->Count("cam_1: 垃圾序号[0]原始点云数量少于" + std::to_string(points + 1) +
                        "，请重新检测！"),
            1U);
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_LE(camera_->CopyTrashInfos().size(), records_at_default);
}

TEST_F(ImageCallbackTest, IdleCameraIgnoresFrames) {
  camera_->is_start_detect_ = false;
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_FALSE(camera_->is_detect_done_);
  EXPECT_TRUE(log_->Lines().empty());
}

TEST_F(ImageCallbackTest, DepthOfAnotherSizeEndsTheFrameAtOnce) {
  cv::Mat small;
  cv::resize(frame_.depth, small, cv::Size(frame_.depth.cols / 2, frame_.depth.rows / 2), 0, 0,
             cv::INTER_NEAREST);
  camera_->ImageCallback(Rgb(), Depth(small));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_TRUE(camera_->CopyTrashInfos().empty());
  EXPECT_EQ(log_->Count("does not match the colour image"), 1U);
}

TEST_F(ImageCallbackTest, FailingModelEndsTheFrameWithAnEmptyList) {
  camera_->FinishDetect({TrashInfo{}});  // a previous frame's record
  camera_->ArmDetect();
  camera_->model_ = std::make_shared<ThrowingModel>(std::string(MOORWICK_SOURCE_CONFIG_DIR) +
                                                    "/demo/model_color_key.yaml");
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_TRUE(camera_->CopyTrashInfos().empty());
  EXPECT_EQ(log_->Count("model->detect failed: backend lost its device"), 1U);
}

TEST_F(ImageCallbackTest, FrameWithoutLitterGivesAnEmptyListAndTheDoneFlag) {
  cv::Mat floor_only(frame_.rgb.size(), frame_.rgb.type(), cv::Scalar(128, 128, 128));
  std_msgs::msg::Header header;
  camera_->ImageCallback(cv_bridge::CvImage(header, "rgb8", floor_only).toImageMsg(),
                         Depth(frame_.depth));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_TRUE(camera_->CopyTrashInfos().empty());
  EXPECT_EQ(log_->Count("cam_1: failed to detect trash"), 1U);
}

TEST_F(ImageCallbackTest, AimModeWithoutMapTransformEndsTheFrameWithTheDoneFlag) {
  camera_->is_grab_aim_trash = true;
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_FALSE(camera_->is_start_detect_);
  // The first piece's map lookup fails: nothing stored before it.
  EXPECT_TRUE(camera_->CopyTrashInfos().empty());
  EXPECT_EQ(log_->Count("Transform from arm_base_link to map failed:"), 1U);
  EXPECT_EQ(log_->Count("ImageCallback cost"), 0U);
}

TEST_F(ImageCallbackTest, AimModeGivesEachRecordItsMapPose) {
  geometry_msgs::msg::TransformStamped map_from_arm;
  map_from_arm.header.frame_id = "map";
  map_from_arm.child_frame_id = "arm_base_link";
  const Eigen::Isometry3d& truth = scene_.map_from_arm_base;
  const Eigen::Quaterniond q(truth.rotation());
  map_from_arm.transform.translation.x = truth.translation().x();
  map_from_arm.transform.translation.y = truth.translation().y();
  map_from_arm.transform.translation.z = truth.translation().z();
  map_from_arm.transform.rotation.x = q.x();
  map_from_arm.transform.rotation.y = q.y();
  map_from_arm.transform.rotation.z = q.z();
  map_from_arm.transform.rotation.w = q.w();
  ASSERT_TRUE(camera_->tf_buffer_->setTransform(map_from_arm, "test", true));
  camera_->is_grab_aim_trash = true;
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  ASSERT_TRUE(camera_->is_detect_done_);
  const auto records = camera_->CopyTrashInfos();
  ASSERT_GE(records.size(), 3U);
  for (const auto& r : records) {
    const Eigen::Vector3d arm(r.arm_pose.px, r.arm_pose.py, r.arm_pose.pz);
    const Eigen::Vector3d map(r.map_pose.px, r.map_pose.py, r.map_pose.pz);
    EXPECT_LT((map - truth * arm).norm(), 1e-9);
    const Eigen::Quaterniond arm_q(r.arm_pose.qw, r.arm_pose.qx, r.arm_pose.qy, r.arm_pose.qz);
    const Eigen::Quaterniond map_q(r.map_pose.qw, r.map_pose.qx, r.map_pose.qy, r.map_pose.qz);
    // (The estimator's quaternion is unit to single precision only.)
    EXPECT_NEAR(std::abs(map_q.normalized().dot(q * arm_q.normalized())), 1.0, 1e-7);
  }
}

TEST_F(ImageCallbackTest, DebugModeWritesTheCaptureFiles) {
  camera_->is_debug = true;
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  ASSERT_TRUE(camera_->is_detect_done_);
  const std::string prefix = camera_->grab_pose_estimate_->data_file_prefix_;
  const auto folder = std::filesystem::path(prefix).parent_path();
  const std::string stem = std::filesystem::path(prefix).filename().string();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  const auto count = [&](const std::string& suffix) {
    return std::count_if(names.begin(), names.end(), [&](const std::string& n) {
      return n.rfind(stem, 0) == 0 && n.size() >= suffix.size() &&
             n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
  };
  EXPECT_EQ(count("[initial].jpg") - count("][initial].jpg"), 1);
  EXPECT_EQ(count("[detected].jpg"), 1);
  // Every piece has its masks; pieces with enough points have their clouds.
  for (std::size_t k = 0; k < frame_.truth.size(); ++k) {
    const std::string tag = "[" + std::to_string(k) + "]";
    SCOPED_TRACE(tag);
    EXPECT_EQ(count(tag + "[mask][initial].jpg"), 1);
    EXPECT_EQ(count(tag + "[mask][eroded].jpg"), 1);
    EXPECT_EQ(count(tag + "[initial].ply"), 1);
    EXPECT_EQ(count(tag + "[transformed].ply"), 1);
    EXPECT_EQ(count(tag + "[processed].ply"), 1);
  }
  // Time string "%Y-%m-%d-%H-%M-%S" between the prefix and the tags.
  for (const auto& n : names) {
    if (n.rfind(stem, 0) == 0) {
      EXPECT_EQ(n.size() > stem.size() + 19 ? n[stem.size() + 4] : 'x', '-') << n;
    }
  }
  for (const auto& n : names) {
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".ply") == 0) {
      const std::string text = test::ReadText(folder / n);
      EXPECT_EQ(text.rfind("ply\nformat ascii 1.0\n", 0), 0U) << n;
    }
  }
  EXPECT_EQ(log_->Count("cam_1: initial image succeed to save"), 1U);
  EXPECT_EQ(log_->Count("cam_1: detected image succeed to save"), 1U);
}

TEST_F(ImageCallbackTest, RealTimeFramePublishesOneGrabTrashCloud) {
  std::promise<moorwick_protocol::msg::GrabTrashCloud> received;
  auto future = received.get_future();
  bool got = false;
  auto sub = node_->create_subscription<moorwick_protocol::msg::GrabTrashCloud>(
      "/moorwick_arm_trash_detect/grab_trash_cloud", rclcpp::QoS(1).reliable(),
      [&](moorwick_protocol::msg::GrabTrashCloud::ConstSharedPtr msg) {
        if (!got) {
          got = true;
          received.set_value(*msg);
        }
      });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  std::thread spinner([&] { executor.spin(); });
  // Let the in-process subscription match the publisher first.
  for (int i = 0; i < 200 && camera_->grab_trash_cloud_pub_->get_subscription_count() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  camera_->is_start_detect_ = false;
  camera_->ImageDetectCallback(Rgb(), Depth(frame_.depth));
  const bool ready = future.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  executor.cancel();
  spinner.join();
  ASSERT_TRUE(ready);
  const auto msg = future.get();
  EXPECT_EQ(msg.cam_id, 1);
  EXPECT_EQ(msg.cam_frame_id, scene_.camera_frame_id);
  // Every litter piece on the floor is measured, reachable or not.
  ASSERT_EQ(msg.trashes.size(), frame_.truth.size());
  for (const auto& piece : msg.trashes) {
    SCOPED_TRACE(static_cast<int>(piece.class_id));
    EXPECT_EQ(piece.cloud.header.frame_id, "arm_base_link");
    EXPECT_GT(piece.cloud.width * piece.cloud.height, 0U);
    EXPECT_GT(piece.obb_size[0], 0.0);
    EXPECT_GE(piece.obb_size[0], piece.obb_size[1]);
  }
  // This callback takes no part in the detect hand-shake.
  EXPECT_FALSE(camera_->is_detect_done_);
  EXPECT_FALSE(camera_->is_start_detect_);
}

// The colour pixels travel from the received message to the model without a
// copy when the message is rgb8 already.
TEST_F(ImageCallbackTest, Rgb8ColourReachesTheModelInPlace) {
  auto model = std::make_shared<RecordingModel>(std::string(MOORWICK_SOURCE_CONFIG_DIR) +
                                                "/demo/model_color_key.yaml");
  camera_->model_ = model;
  const auto rgb = Rgb();
  camera_->ImageCallback(rgb, Depth(frame_.depth));
  ASSERT_TRUE(camera_->is_detect_done_);
  EXPECT_EQ(model->seen_data, rgb->data.data());
  EXPECT_GE(camera_->CopyTrashInfos().size(), 3U);
}

TEST_F(ImageCallbackTest, OtherColourEncodingIsConvertedForTheModel) {
  auto model = std::make_shared<RecordingModel>(std::string(MOORWICK_SOURCE_CONFIG_DIR) +
                                                "/demo/model_color_key.yaml");
  camera_->model_ = model;
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  const std::size_t rgb_records = camera_->CopyTrashInfos().size();

  cv::Mat bgr;
  cv::cvtColor(frame_.rgb, bgr, cv::COLOR_RGB2BGR);
  std_msgs::msg::Header header;
  const auto bgr_msg = cv_bridge::CvImage(header, "bgr8", bgr).toImageMsg();
  camera_->ArmDetect();
  camera_->ImageCallback(bgr_msg, Depth(frame_.depth));
  ASSERT_TRUE(camera_->is_detect_done_);
  EXPECT_NE(model->seen_data, bgr_msg->data.data());
  ASSERT_EQ(model->seen_image.size(), frame_.rgb.size());
  EXPECT_EQ(cv::norm(model->seen_image, frame_.rgb, cv::NORM_INF), 0.0);
  EXPECT_EQ(camera_->CopyTrashInfos().size(), rgb_records);
}

// The pixels are shared with every other subscriber of the message: no frame,
// debug or not, may write into them.
TEST_F(ImageCallbackTest, FramesLeaveTheReceivedColourUntouched) {
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug ? "debug" : "plain");
    camera_->is_debug = debug;
    camera_->ArmDetect();
    const auto rgb = Rgb();
    const std::vector<std::uint8_t> before = rgb->data;
    camera_->ImageCallback(rgb, Depth(frame_.depth));
    ASSERT_TRUE(camera_->is_detect_done_);
    EXPECT_TRUE(rgb->data == before);
  }
}

// A subscriber gets the detection image as DrawDetections draws it, in rgb8
// with a zero stamp and an empty frame id.
TEST_F(ImageCallbackTest, DetectionImageReachesASubscriberAsDrawn) {
  auto model = std::make_shared<RecordingModel>(std::string(MOORWICK_SOURCE_CONFIG_DIR) +
                                                "/demo/model_color_key.yaml");
  camera_->model_ = model;
  std::promise<ImageMsg> received;
  auto future = received.get_future();
  bool got = false;
  auto sub = node_->create_subscription<ImageMsg>(
      camera_->detected_image_topic, rclcpp::QoS(1).reliable(), [&](ImageMsg::ConstSharedPtr msg) {
        if (!got) {
          got = true;
          received.set_value(*msg);
        }
      });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  std::thread spinner([&] { executor.spin(); });
  for (int i = 0; i < 200 && camera_->detected_image_pub_->get_subscription_count() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  const bool ready = future.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  executor.cancel();
  spinner.join();
  ASSERT_TRUE(ready);
  const ImageMsg msg = future.get();
  EXPECT_EQ(msg.encoding, "rgb8");
  EXPECT_EQ(msg.header.frame_id, "");
  EXPECT_EQ(msg.header.stamp.sec, 0);
  EXPECT_EQ(msg.header.stamp.nanosec, 0U);
  ASSERT_EQ(msg.width, static_cast<std::uint32_t>(frame_.rgb.cols));
  ASSERT_EQ(msg.height, static_cast<std::uint32_t>(frame_.rgb.rows));
  ASSERT_EQ(msg.step, msg.width * 3);
  ASSERT_EQ(msg.data.size(), static_cast<std::size_t>(msg.step) * msg.height);
  ASSERT_FALSE(model->answered.empty());
  cv::Mat expected;
  DrawDetections(frame_.rgb, expected, model->answered, camera_->class_names_);
  const cv::Mat got_image(frame_.rgb.rows, frame_.rgb.cols, CV_8UC3,
                          const_cast<std::uint8_t*>(msg.data.data()));
  EXPECT_EQ(cv::norm(got_image, expected, cv::NORM_INF), 0.0);
  // Something was drawn: the image is not the input.
  EXPECT_GT(cv::norm(got_image, frame_.rgb, cv::NORM_INF), 0.0);
}

// Real-time frames publish the merged clouds: every piece that reached the
// estimator is in them, in camera-frame point count for the transformed merge.
TEST_F(ImageCallbackTest, RealTimeFramePublishesTheMergedClouds) {
  using sensor_msgs::msg::PointCloud2;
  camera_->is_realtime_estimate = true;
  std::mutex m;
  std::map<std::string, PointCloud2> clouds;
  const std::string processed_topic = camera_->trashes_cloud_pub_->get_topic_name();
  const std::string transformed_topic = camera_->trashes_init_cloud_pub_->get_topic_name();
  std::vector<rclcpp::Subscription<PointCloud2>::SharedPtr> subs;
  for (const auto& topic : {processed_topic, transformed_topic}) {
    subs.push_back(node_->create_subscription<PointCloud2>(
        topic, rclcpp::QoS(1).reliable(), [&, topic](PointCloud2::ConstSharedPtr msg) {
          std::lock_guard<std::mutex> lock(m);
          clouds.emplace(topic, *msg);
        }));
  }
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  std::thread spinner([&] { executor.spin(); });
  for (int i = 0; i < 200 && (camera_->trashes_cloud_pub_->get_subscription_count() == 0 ||
                              camera_->trashes_init_cloud_pub_->get_subscription_count() == 0);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  bool both = false;
  for (int i = 0; i < 1000 && !both; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> lock(m);
    both = clouds.size() == 2;
  }
  executor.cancel();
  spinner.join();
  ASSERT_TRUE(both);

  // Points each piece's cut-out gave, from the count lines.
  const std::string count_text = "原始点云数量： ";
  std::size_t cut_out_points = 0;
  std::size_t pieces = 0;
  for (const auto& line : log_->Lines()) {
    const auto at = line.find(count_text);
    if (at != std::string::npos) {
      cut_out_points += std::stoul(line.substr(at + count_text.size()));
      ++pieces;
    }
  }
  ASSERT_GE(pieces, 3U);
  const PointCloud2& transformed = clouds[transformed_topic];
  const PointCloud2& processed = clouds[processed_topic];
  EXPECT_EQ(transformed.header.frame_id, "arm_base_link");
  EXPECT_EQ(processed.header.frame_id, "arm_base_link");
  EXPECT_EQ(static_cast<std::size_t>(transformed.width) * transformed.height, cut_out_points);
  // Conditioning thins every piece, but leaves each of them some points.
  const std::size_t processed_points = static_cast<std::size_t>(processed.width) * processed.height;
  EXPECT_GE(processed_points, pieces);
  EXPECT_LT(processed_points, cut_out_points);
}

// Zero intrinsics (no camera_info topic, nothing set) would turn every depth
// pixel into an infinite point: the frame is refused instead.
TEST_F(ImageCallbackTest, UnusableIntrinsicsEndTheFrameWithAnEmptyList) {
  camera_->camera_params_ = CameraParams{};
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_TRUE(camera_->CopyTrashInfos().empty());
  EXPECT_EQ(log_->Count("cam_1: no usable camera intrinsics, focal length is not a positive "
                        "finite number"),
            1U);
  EXPECT_EQ(log_->Count("grab pose estimate"), 0U);
}

// Intrinsics from a camera_info of another resolution do not fit the frame;
// the camera's next matching camera_info makes the frame usable again.
TEST_F(ImageCallbackTest, CameraInfoOfAnotherSizeRefusesFramesUntilAMatchingOneComes) {
  const auto& c = scene_.scene.camera;
  sensor_msgs::msg::CameraInfo info;
  info.width = static_cast<std::uint32_t>(c.width) * 2;
  info.height = static_cast<std::uint32_t>(c.height) * 2;
  info.k = {2 * c.fx, 0.0, 2 * c.cx, 0.0, 2 * c.fy, 2 * c.cy, 0.0, 0.0, 1.0};
  camera_->OnCameraInfo(info);
  EXPECT_EQ(camera_->camera_params_.width, info.width);
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_TRUE(camera_->CopyTrashInfos().empty());
  EXPECT_EQ(log_->Count("does not match camera_info"), 1U);

  info.width = static_cast<std::uint32_t>(c.width);
  info.height = static_cast<std::uint32_t>(c.height);
  info.k = {c.fx, 0.0, c.cx, 0.0, c.fy, c.cy, 0.0, 0.0, 1.0};
  camera_->OnCameraInfo(info);
  camera_->OnCameraInfo(info);  // unchanged: not logged again
  EXPECT_EQ(log_->Count("width=" + std::to_string(c.width)), 1U);
  camera_->ArmDetect();
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_FALSE(camera_->CopyTrashInfos().empty());
}

// An unusable camera_info never replaces the intrinsics in use, and the same
// fault is reported once however often it comes.
TEST_F(ImageCallbackTest, UnusableCameraInfoKeepsTheIntrinsicsInUse) {
  const CameraParams before = camera_->camera_params_;
  sensor_msgs::msg::CameraInfo info;
  info.width = 640;
  info.height = 360;
  info.k = {0.0, 0.0, 320.0, 0.0, 0.0, 180.0, 0.0, 0.0, 1.0};
  for (int i = 0; i < 3; ++i)
    camera_->OnCameraInfo(info);
  EXPECT_EQ(camera_->camera_params_.fx, before.fx);
  EXPECT_EQ(camera_->camera_params_.cx, before.cx);
  EXPECT_EQ(log_->Count("rejected, focal length is not a positive finite number"), 1U);
  camera_->ImageCallback(Rgb(), Depth(frame_.depth));
  EXPECT_FALSE(camera_->CopyTrashInfos().empty());
}

TEST(CameraInfoFault, NamesWhatMakesTheIntrinsicsUnusable) {
  struct Case {
    const char* name;
    std::array<double, 4> fx_fy_cx_cy;
    std::uint32_t width, height;
    std::string fault;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::string focal = "focal length is not a positive finite number";
  const std::string centre = "principal point is not finite";
  const std::vector<Case> cases = {
      {"good", {326.9, 326.9, 319.4, 181.7}, 640, 360, ""},
      {"zero fx", {0.0, 326.9, 319.4, 181.7}, 640, 360, focal},
      {"negative fy", {326.9, -326.9, 319.4, 181.7}, 640, 360, focal},
      {"NaN fx", {nan, 326.9, 319.4, 181.7}, 640, 360, focal},
      {"infinite fy", {326.9, inf, 319.4, 181.7}, 640, 360, focal},
      {"fx beyond float", {1e39, 326.9, 319.4, 181.7}, 640, 360, focal},
      {"fy below float", {326.9, 1e-50, 319.4, 181.7}, 640, 360, focal},
      {"cx beyond float", {326.9, 326.9, -1e39, 181.7}, 640, 360, centre},
      {"NaN cx", {326.9, 326.9, nan, 181.7}, 640, 360, centre},
      {"infinite cy", {326.9, 326.9, 319.4, -inf}, 640, 360, centre},
      {"zero width", {326.9, 326.9, 319.4, 181.7}, 0, 360, "image size is zero"},
      {"zero height", {326.9, 326.9, 319.4, 181.7}, 640, 0, "image size is zero"},
      {"all zero", {0.0, 0.0, 0.0, 0.0}, 0, 0, focal},
  };
  for (const Case& c : cases) {
    sensor_msgs::msg::CameraInfo info;
    info.k = {c.fx_fy_cx_cy[0],
              0.0,
              c.fx_fy_cx_cy[2],
              0.0,
              c.fx_fy_cx_cy[1],
              c.fx_fy_cx_cy[3],
              0.0,
              0.0,
              1.0};
    info.width = c.width;
    info.height = c.height;
    EXPECT_EQ(CameraInfoFault(info), c.fault) << c.name;
  }
}

TEST(DrawDetections, BoxesLabelsAndBlend) {
  cv::Mat input(60, 80, CV_8UC3, cv::Scalar(11, 20, 30));
  ai_moor::model::SegObject obj;
  obj.rect = cv::Rect_<float>(10.4F, 12.6F, 30.0F, 20.0F);
  obj.label = 4;  // bottle
  obj.prob = 0.875F;
  obj.mask = cv::Mat::zeros(60, 80, CV_8UC1);
  obj.mask(cv::Rect(50, 40, 10, 10)).setTo(1);
  ai_moor::model::SegObject unknown = obj;
  unknown.label = 200;  // outside the palettes: skipped, not a crash
  cv::Mat output;
  DrawDetections(input, output, {obj, unknown}, {"paper", "mask", "thread", "obstacle", "bottle"});
  ASSERT_EQ(output.size(), input.size());
  // Outside boxes and masks: 0.5 * v + 0.8 * v + 1.
  EXPECT_EQ(output.at<cv::Vec3b>(2, 2), cv::Vec3b(15, 27, 40));
  // Inside the mask: 0.5 * v + 0.8 * mask colour of class 4 (207, 210, 49) + 1.
  EXPECT_EQ(output.at<cv::Vec3b>(45, 55), cv::Vec3b(172, 179, 55));
  // A box corner: 0.5 * box colour of class 4 (119, 172, 48) + 0.8 * v + 1.
  EXPECT_EQ(output.at<cv::Vec3b>(32, 10), cv::Vec3b(69, 103, 49));
  // The label background (0, 0, 255) starts one row below the truncated box
  // top; its bottom row lies below the text's baseline.
  int baseline = 0;
  const cv::Size text =
      cv::getTextSize("bottle 87.5%", cv::FONT_HERSHEY_SIMPLEX, 0.4, 1, &baseline);
  const int bottom = 12 + 1 + text.height + baseline - 1;
  EXPECT_EQ(
      output.at<cv::Vec3b>(bottom, 11),
      cv::Vec3b(cv::saturate_cast<uchar>(0.8 * 11 + 1), cv::saturate_cast<uchar>(0.8 * 20 + 1),
                cv::saturate_cast<uchar>(0.5 * 255 + 0.8 * 30 + 1)));
}

// Drawing into a caller's buffer of the right size (a message's pixels) keeps
// that buffer and gives the same image as drawing into a fresh one.
TEST(DrawDetections, DrawsIntoAGivenBufferLikeIntoAFreshOne) {
  cv::Mat input(40, 50, CV_8UC3, cv::Scalar(90, 60, 30));
  ai_moor::model::SegObject obj;
  obj.rect = cv::Rect_<float>(5.0F, 6.0F, 20.0F, 15.0F);
  obj.label = 0;
  obj.prob = 0.5F;
  obj.mask = cv::Mat::zeros(40, 50, CV_8UC1);
  obj.mask(cv::Rect(8, 8, 10, 10)).setTo(1);
  cv::Mat fresh;
  DrawDetections(input, fresh, {obj}, {"paper"});
  std::vector<std::uint8_t> buffer(40 * 50 * 3, 7);
  cv::Mat given(40, 50, CV_8UC3, buffer.data());
  DrawDetections(input, given, {obj}, {"paper"});
  EXPECT_EQ(given.data, buffer.data());
  EXPECT_EQ(cv::norm(given, fresh, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace moorwick
