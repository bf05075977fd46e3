// The frame callbacks on rendered frames of the demo scene, called directly
// with the messages a driver would send; the camera_info handling; and the
// inspection output builders.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <cv_bridge/cv_bridge.h>
#include <opencv2/imgproc.hpp>
#include <rclcpp/rclcpp.hpp>

#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_arm_trash_detect/node/inspection_output.hpp"
#include "moorwick_arm_trash_detect/node/pose_conversions.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "moorwick_sim/scene_render.hpp"
#include "moorwick_test/node_support.hpp"
#include "moorwick_test/scene_pipeline.hpp"

namespace moorwick {
namespace {

using ImageMsg = sensor_msgs::msg::Image;
using moorwick_protocol::msg::GrabTrashCloud;

// A model whose detection fails, as a broken backend would.
class ThrowingModel : public ai_moor::model::YOLOv8Seg {
public:
  explicit ThrowingModel(const std::string& cfg) : YOLOv8Seg(cfg) {}
  int detect(const cv::Mat&, std::vector<ai_moor::model::SegObject>&) override {
    throw std::runtime_error("backend lost its device");
  }
};

// The colour-key model, keeping what it was shown.
class RecordingModel : public ai_moor::model::YOLOv8Seg {
public:
  explicit RecordingModel(const std::string& cfg) : YOLOv8Seg(cfg) {}
  int detect(const cv::Mat& image, std::vector<ai_moor::model::SegObject>& objects) override {
    seen_image = image.clone();
    return YOLOv8Seg::detect(image, objects);
  }
  cv::Mat seen_image;
};

const std::string kModelCfg =
    std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/model_color_key.yaml";

class ImageCallbackTest : public moorwick_test::NodeSuiteTest {
protected:
  void SetUp() override {
    NodeSuiteTest::SetUp();
    MakeShare("image_callback", "icb_pose_estimate_config.yaml");
    scene_ =
        moorwick_sim::LoadSceneFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/scene.yaml");
    camera_path_ = moorwick_test::EditConfig(
        share_->config(), "cam1_detect_config.yaml", "cam1_detect_config.yaml", [&](YAML::Node& c) {
          YAML::Node p = c["camera_detection_params"];
          p["cam_frame_id"] = scene_.camera_frame_id;
          p["pose_estimate_config_file"] = "icb_pose_estimate_config.yaml";
          p["camera_info_topic"] = "";
          p["rgb_topic"] = "/image_callback_test/color";
          p["depth_topic"] = "/image_callback_test/depth";
          p["is_enable_transparent"] = false;
          p["trash_class_ids"] = std::vector<int>{1, 5, 14, 18};
          p["model_cfg_file"] = kModelCfg;
        });
    static int counter = 0;
    node_ = std::make_shared<rclcpp::Node>("image_callback_test_" + std::to_string(counter++));
    Build();
    Render();
    log_->Clear();
  }

  void TearDown() override {
    log_->Clear();
    camera_.reset();
    node_.reset();
    share_.reset();
  }

  void Build() {
    camera_ = MakeCameraDetectionNode(node_, camera_path_);
    // Without a camera_info topic the intrinsics are the scene camera's.
    camera_->camera_params_ = moorwick_test::IntrinsicsOf(scene_.scene.camera);
  }
  void Render() { frame_ = moorwick_sim::RenderScene(scene_.scene, scene_.render); }

  ImageMsg::ConstSharedPtr Rgb(const cv::Mat& rgb, const std::string& encoding = "rgb8") const {
    return cv_bridge::CvImage(std_msgs::msg::Header(), encoding, rgb).toImageMsg();
  }
  ImageMsg::ConstSharedPtr Rgb() const { return Rgb(frame_.rgb); }
  ImageMsg::SharedPtr Depth(const cv::Mat& depth, const std::string& encoding = "16UC1") const {
    return cv_bridge::CvImage(std_msgs::msg::Header(), encoding, depth).toImageMsg();
  }
  ImageMsg::SharedPtr Depth() const { return Depth(frame_.depth); }

  // Runs the grab-pose callback on an armed camera; returns the class indices
  // of the records.
  std::multiset<int> Frame() {
    camera_->ArmDetect();
    camera_->ImageCallback(Rgb(), Depth());
    EXPECT_TRUE(camera_->is_detect_done_);
    std::multiset<int> classes;
    for (const auto& r : camera_->CopyTrashInfos()) {
      classes.insert(r.class_id);
    }
    return classes;
  }
  const TrashInfo* Record(int class_index) {
    records_ = camera_->CopyTrashInfos();
    for (const auto& r : records_) {
      if (r.class_id == class_index) {
        return &r;
      }
    }
    return nullptr;
  }

  // The first message `pub` sends after `trigger` ran, spinning the test's node.
  template <typename Msg>
  std::optional<Msg> Receive(const rclcpp::PublisherBase& pub,
                             const std::function<void()>& trigger) {
    std::optional<Msg> received;
    auto sub = node_->create_subscription<Msg>(pub.get_topic_name(), rclcpp::QoS(1).reliable(),
                                               [&](typename Msg::ConstSharedPtr msg) {
                                                 if (!received) {
                                                   received = *msg;
                                                 }
                                               });
    // The in-process subscription must match the publisher before the frame.
    moorwick_test::WaitFor([&] { return pub.get_subscription_count() > 0; },
                           std::chrono::seconds(5));
    trigger();
    rclcpp::executors::SingleThreadedExecutor executor;
    executor.add_node(node_);
    for (int i = 0; i < 1000 && !received; ++i) {
      executor.spin_once(std::chrono::milliseconds(10));
    }
    return received;
  }

  std::string camera_path_;
  moorwick_sim::SceneFile scene_;
  moorwick_sim::RenderedFrame frame_;
  rclcpp::Node::SharedPtr node_;
  std::shared_ptr<CameraDetectionNode> camera_;
  std::vector<TrashInfo> records_;
};

int ClassOf(const std::string& name) {
  return moorwick_sim::ClassIndexOfName(name);
}

void Lift(moorwick_sim::SceneDescription& s, int piece, double dz) {
  s.pieces[piece].shape.base_from_local.translation().z() += dz;
}

// Which pieces reach the list: the ones the arm can take, each grabbed within
// 10 mm of its centre with the axis type of its pose; a piece lifted to
// furniture height fails the position check, an oversize one the size check.
TEST_F(ImageCallbackTest, OnlyGraspablePiecesBecomeRecords) {
  struct SceneCase {
    const char* name;
    std::function<void(moorwick_sim::SceneDescription&)> edit;
    std::multiset<int> classes;
    const char* skip_line;  // logged once for the dropped piece
  };
  const std::vector<SceneCase> cases{
      {"demo",
       [](auto&) {},
       {ClassOf("carton_box"), ClassOf("bottle"), ClassOf("coffee")},
       "cam_1: grab pose estimate flag_estimate: "},
      {"carton on furniture",
       [](auto& s) { Lift(s, 0, 0.10); },
       {ClassOf("bottle"), ClassOf("coffee")},
       "不在白名单位置处，忽略"},
      {"oversize carton",
       [](auto& s) { s.pieces[0].shape.size.y() = 0.14; },
       {ClassOf("bottle"), ClassOf("coffee")},
       "不在抓取尺寸范围内，忽略"},
  };
  const moorwick_sim::SceneDescription demo = scene_.scene;
  for (const SceneCase& c : cases) {
    SCOPED_TRACE(c.name);
    scene_.scene = demo;
    c.edit(scene_.scene);
    Render();
    log_->Clear();
    EXPECT_EQ(Frame(), c.classes);
    for (const TrashInfo& r : camera_->CopyTrashInfos()) {
      const auto t = std::find_if(frame_.truth.begin(), frame_.truth.end(),
                                  [&](const auto& p) { return p.class_index == r.class_id; });
      ASSERT_NE(t, frame_.truth.end());
      EXPECT_TRUE(moorwick_sim::CompareGrab(*t, Position(r.arm_pose)).ok) << t->name;
      EXPECT_EQ(r.main_axis_type, t->main_axis_type) << t->name;
    }
    EXPECT_EQ(log_->Containing(c.skip_line), 1U);
    EXPECT_EQ(log_->Containing("cam_1: ImageCallback cost"), 1U);
  }
}

// The point-count threshold is a lower bound: a piece with exactly the
// threshold passes, one point more in the threshold skips it with the warning.
TEST_F(ImageCallbackTest, PointCountThresholdIsInclusive) {
  Frame();
  const std::string count_prefix = "cam_1: 垃圾序号[0]原始点云数量： ";
  std::size_t points = 0;
  for (const auto& line : log_->Lines()) {
    const auto at = line.text.find(count_prefix);
    if (at != std::string::npos) {
      points = std::stoul(line.text.substr(at + count_prefix.size()));
    }
  }
  ASSERT_GT(points, 0U);
  camera_->min_trash_cloud_size_treshold = static_cast<std::uint32_t>(points);
  log_->Clear();
  Frame();
  EXPECT_EQ(log_->Containing("cam_1: 垃圾序号[0]原始点云数量少于"), 0U);
  camera_->min_trash_cloud_size_treshold = static_cast<std::uint32_t>(points + 1);
  log_->Clear();
  Frame();
  EXPECT_EQ(log_->Containing("cam_1: 垃圾序号[0]原始点云数量少于" + std::to_string(points + 1) +
                             "，请重新检测！"),
            1U);
}

// A transparent piece takes the transparent grab only when the camera allows
// it; a transparent grab above 0.1 m is replaced by the ordinary estimate,
// made from the points as they were before the transparent conditioning.
TEST_F(ImageCallbackTest, TransparentPieceChoosesItsGrab) {
  for (auto& p : scene_.scene.pieces) {
    p.transparent = p.name.rfind("bottle", 0) == 0;
  }
  Render();
  const int bottle = ClassOf("bottle");
  ASSERT_EQ(Frame().count(bottle), 1U);
  const TrashInfo ordinary = *Record(bottle);
  ASSERT_EQ(log_->Containing("is_transparent: true"), 1U);

  camera_->is_enable_transparent = true;
  ASSERT_EQ(Frame().count(bottle), 1U);
  const TrashInfo transparent = *Record(bottle);
  // The transparent grab's box: as wide as deep, identity pose on the TCP.
  EXPECT_EQ(transparent.obb_size[1], transparent.obb_size[2]);
  EXPECT_EQ(Orientation(transparent.obb_pose).coeffs(), Eigen::Quaterniond::Identity().coeffs());
  EXPECT_GT((Position(transparent.arm_pose) - Position(ordinary.arm_pose)).norm(), 1e-4);
  EXPECT_LE(transparent.arm_pose.pz, 0.1);

  // A height ratio that puts the transparent TCP above 0.1 m.
  camera_->grab_pose_estimate_->transparent_height_ratio_ = 20.0F;
  ASSERT_EQ(Frame().count(bottle), 1U);
  const TrashInfo fallback = *Record(bottle);
  EXPECT_EQ(Position(fallback.arm_pose), Position(ordinary.arm_pose));
  EXPECT_EQ(Orientation(fallback.arm_pose).coeffs(), Orientation(ordinary.arm_pose).coeffs());
  EXPECT_EQ(fallback.obb_size[0], ordinary.obb_size[0]);
  EXPECT_EQ(fallback.main_axis_type, ordinary.main_axis_type);
}

TEST_F(ImageCallbackTest, IdleCameraIgnoresFrames) {
  camera_->is_start_detect_ = false;
  camera_->ImageCallback(Rgb(), Depth());
  EXPECT_FALSE(camera_->is_detect_done_);
  EXPECT_TRUE(log_->Lines().empty());
}

// Every way a frame can end early still hands over an empty list with the
// done flag, so the service never waits out its time-out, logs why, and the
// next good frame is served.
TEST_F(ImageCallbackTest, BrokenFramesEndWithAnEmptyList) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::function<ImageMsg::ConstSharedPtr()> rgb, depth;
    const char* line;
    std::size_t count{1};
  };
  cv::Mat small;
  cv::resize(frame_.depth, small, frame_.depth.size() / 2, 0, 0, cv::INTER_NEAREST);
  const cv::Size size = frame_.depth.size();
  const cv::Mat floor_only(frame_.rgb.size(), frame_.rgb.type(), cv::Scalar(128, 128, 128));
  const auto rgb = [&] { return Rgb(); };
  const auto depth = [&] { return Depth(); };
  const auto truncated = [&] {
    auto msg = Depth();
    msg->data.resize(msg->data.size() / 2);
    return msg;
  };
  // Depth faults are logged once for each piece.
  const std::size_t pieces = frame_.truth.size();
  const std::vector<Case> cases{
      {"depth of another size", [] {}, rgb, [&] { return Depth(small); },
       "cam_1: depth image 320x180 does not match the colour image 640x360; frame skipped"},
      {"mono8 depth", [] {}, rgb, [&] { return Depth(cv::Mat(size, CV_8UC1, 200), "mono8"); },
       "Input depth image encoding: mono8 is not fit yet", pieces},
      {"truncated depth", [] {}, rgb, truncated,
       "depth cut-out failed: depth image buffer is shorter than its width, height and step say",
       pieces},
      {"zero depth", [] {}, rgb, [&] { return Depth(cv::Mat::zeros(size, CV_16UC1)); },
       "原始点云数量少于50，请重新检测！", pieces},
      {"no litter", [] {}, [&] { return Rgb(floor_only); }, depth, "cam_1: failed to detect trash"},
      {"zero intrinsics", [&] { camera_->camera_params_ = CameraParams{}; }, rgb, depth,
       "cam_1: no usable camera intrinsics, focal length is not a positive finite number"},
      {"failing model", [&] { camera_->model_ = std::make_shared<ThrowingModel>(kModelCfg); }, rgb,
       depth, "model->detect failed: backend lost its device"},
  };
  const CameraParams intrinsics = camera_->camera_params_;
  const auto model = camera_->model_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    camera_->FinishDetect({TrashInfo{}});  // a previous frame's record
    c.prepare();
    log_->Clear();
    camera_->ArmDetect();
    camera_->ImageCallback(c.rgb(), c.depth());
    EXPECT_TRUE(camera_->is_detect_done_);
    EXPECT_TRUE(camera_->CopyTrashInfos().empty());
    EXPECT_EQ(log_->Containing(c.line), c.count);
    camera_->camera_params_ = intrinsics;
    camera_->model_ = model;
    EXPECT_EQ(Frame().size(), 3U);
  }
}

// Each record gets its map pose; a map lookup that fails on a later piece ends
// the frame with the records stored so far and the done flag.
TEST_F(ImageCallbackTest, MapLookupFailingOnALaterPieceKeepsTheEarlierRecords) {
  const Eigen::Isometry3d& truth = scene_.map_from_arm_base;
  auto map_from_arm = tf2::eigenToTransform(truth);
  map_from_arm.header.frame_id = "map";
  map_from_arm.child_frame_id = "arm_base_link";
  // Not static: clearing the buffer removes it.
  ASSERT_TRUE(camera_->tf_buffer_->setTransform(map_from_arm, "test", false));
  camera_->is_grab_aim_trash = true;
  // The tf data is gone when the second accepted piece looks up its map pose.
  log_->OnLine("在抓取尺寸范围内，需要抓取", 2, [this] { camera_->tf_buffer_->clear(); });
  camera_->ArmDetect();
  camera_->ImageCallback(Rgb(), Depth());
  EXPECT_TRUE(camera_->is_detect_done_);
  EXPECT_FALSE(camera_->is_start_detect_);
  const auto records = camera_->CopyTrashInfos();
  ASSERT_EQ(records.size(), 1U);
  const TrashInfo& r = records[0];
  EXPECT_LT((Position(r.map_pose) - truth * Position(r.arm_pose)).norm(), 1e-9);
  const Eigen::Quaterniond q(truth.rotation());
  // (The estimator's quaternion is unit to single precision only.)
  EXPECT_NEAR(
      std::abs(Orientation(r.map_pose).normalized().dot(q * Orientation(r.arm_pose).normalized())),
      1.0, 1e-7);
  EXPECT_EQ(log_->Containing("Transform from arm_base_link to map failed:"), 1U);
  EXPECT_EQ(log_->Containing("ImageCallback cost"), 0U);
}

TEST_F(ImageCallbackTest, DebugModeWritesTheCaptureFiles) {
  camera_->is_debug = true;
  Frame();
  const std::filesystem::path prefix = camera_->grab_pose_estimate_->data_file_prefix_;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(prefix.parent_path())) {
    files += entry.path().filename().string().rfind(prefix.filename().string(), 0) == 0 ? 1 : 0;
  }
  // Two images of the frame; two masks and three clouds per piece.
  EXPECT_EQ(files, 2 + 5 * frame_.truth.size());
  EXPECT_EQ(log_->Containing("cam_1: detected image succeed to save"), 1U);
}

// The real-time callback measures every piece on the floor, reachable or not,
// and leaves out pieces with too few points or off the floor.
TEST_F(ImageCallbackTest, RealTimeFrameReportsThePiecesOnTheFloor) {
  camera_->is_start_detect_ = false;
  const auto classes_of = [&](const std::function<void()>& edit) {
    edit();
    Render();
    log_->Clear();
    const auto msg = Receive<GrabTrashCloud>(*camera_->grab_trash_cloud_pub_,
                                             [&] { camera_->ImageDetectCallback(Rgb(), Depth()); });
    std::multiset<int> classes;
    EXPECT_TRUE(msg.has_value());
    for (const auto& piece : msg ? msg->trashes : decltype(msg->trashes){}) {
      EXPECT_EQ(msg->cam_id, 1);
      EXPECT_EQ(piece.cloud.header.frame_id, "arm_base_link");
      EXPECT_GT(piece.obb_size[0], 0.0);
      classes.insert(piece.class_id);
    }
    return classes;
  };
  std::multiset<int> all;
  for (const auto& t : frame_.truth) {
    all.insert(t.class_index);
  }
  EXPECT_EQ(classes_of([] {}), all);
  std::multiset<int> without_carton = all;
  without_carton.erase(ClassOf("carton_box"));
  EXPECT_EQ(classes_of([&] { Lift(scene_.scene, 0, 0.10); }), without_carton);
  EXPECT_EQ(log_->Containing("不在白名单位置处，忽略"), 1U);
  EXPECT_EQ(classes_of([&] { camera_->min_trash_cloud_size_treshold = 1000000; }),
            std::multiset<int>{});
  EXPECT_EQ(log_->Containing("原始点云数量太少, CONTINUE"), frame_.truth.size());
  // This callback takes no part in the detect hand-shake.
  EXPECT_FALSE(camera_->is_detect_done_);
  EXPECT_FALSE(camera_->is_start_detect_);
}

// A grab-pose frame publishes the detection image; with real-time estimation
// also the inspection output: the merged clouds, a box marker and two arrows
// per record, and one static transform per record named after the camera.
TEST_F(ImageCallbackTest, RealTimeEstimationPublishesTheInspectionOutput) {
  using sensor_msgs::msg::PointCloud2;
  using visualization_msgs::msg::MarkerArray;
  const auto frame = [&] { Frame(); };
  const auto image = Receive<ImageMsg>(*camera_->detected_image_pub_, frame);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->encoding, "rgb8");
  ASSERT_EQ(image->data.size(), frame_.rgb.total() * 3);
  EXPECT_NE(image->data, Rgb()->data);  // drawn on
  camera_->is_realtime_estimate = true;
  for (const auto* pub :
       {camera_->trashes_cloud_pub_.get(), camera_->trashes_init_cloud_pub_.get()}) {
    const auto cloud = Receive<PointCloud2>(*pub, frame);
    ASSERT_TRUE(cloud.has_value()) << pub->get_topic_name();
    EXPECT_EQ(cloud->header.frame_id, "arm_base_link");
    EXPECT_GT(cloud->width * cloud->height, 150U);
  }
  const auto boxes = Receive<MarkerArray>(*camera_->trash_obb_markers_pub_, frame);
  ASSERT_TRUE(boxes.has_value());
  EXPECT_EQ(boxes->markers.size(), 3U);
  const auto arrows = Receive<MarkerArray>(*camera_->trash_pose_pub_, frame);
  ASSERT_TRUE(arrows.has_value());
  EXPECT_EQ(arrows->markers.size(), 6U);
  // The camera's own tf listener hears them.
  const auto has = [&](const std::string& child) {
    return camera_->tf_buffer_->canTransform("arm_base_link", child, tf2::TimePointZero);
  };
  EXPECT_TRUE(
      moorwick_test::WaitFor([&] { return has("cam_1_trash_pose_3"); }, std::chrono::seconds(5)));
  EXPECT_TRUE(has("cam_1_trash_pose_1"));
  EXPECT_FALSE(has("cam_1_trash_pose_4"));
}

// Any colour encoding reaches the model as rgb8, and no frame, debug or not,
// writes into the received pixels (other subscribers share them).
TEST_F(ImageCallbackTest, ColourReachesTheModelAsRgbAndStaysUntouched) {
  auto model = std::make_shared<RecordingModel>(kModelCfg);
  camera_->model_ = model;
  cv::Mat bgr;
  cv::cvtColor(frame_.rgb, bgr, cv::COLOR_RGB2BGR);
  for (const bool debug : {false, true}) {
    camera_->is_debug = debug;
    for (const auto& msg : {Rgb(), Rgb(bgr, "bgr8")}) {
      SCOPED_TRACE(msg->encoding + (debug ? " debug" : ""));
      const std::vector<std::uint8_t> before = msg->data;
      camera_->ArmDetect();
      camera_->ImageCallback(msg, Depth());
      EXPECT_EQ(cv::norm(model->seen_image, frame_.rgb, cv::NORM_INF), 0.0);
      EXPECT_TRUE(msg->data == before);
      EXPECT_EQ(camera_->CopyTrashInfos().size(), 3U);
    }
  }
}

sensor_msgs::msg::CameraInfo Info(double fx, double fy, double cx, double cy, std::uint32_t width,
                                  std::uint32_t height) {
  sensor_msgs::msg::CameraInfo info;
  info.width = width;
  info.height = height;
  info.k = {fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0};
  return info;
}

sensor_msgs::msg::CameraInfo Info(const moorwick_sim::PinholeCamera& c, double s) {
  return Info(s * c.fx, s * c.fy, s * c.cx, s * c.cy, static_cast<std::uint32_t>(c.width * s),
              static_cast<std::uint32_t>(c.height * s));
}

// A camera_info of another resolution does not fit the frame until a matching
// one comes; an unusable one never replaces the intrinsics in use and is
// reported once however often it comes.
TEST_F(ImageCallbackTest, CameraInfoAtRunTimeIsTakenOnlyWhenUsable) {
  camera_->OnCameraInfo(Info(scene_.scene.camera, 2.0));
  EXPECT_TRUE(Frame().empty());
  EXPECT_EQ(log_->Containing("does not match camera_info"), 1U);
  camera_->OnCameraInfo(Info(scene_.scene.camera, 1.0));
  camera_->OnCameraInfo(Info(scene_.scene.camera, 1.0));  // unchanged: not logged again
  EXPECT_EQ(log_->Containing("width=" + std::to_string(scene_.scene.camera.width)), 1U);
  EXPECT_EQ(Frame().size(), 3U);
  auto unusable = Info(scene_.scene.camera, 1.0);
  unusable.k[0] = 0.0;
  for (int i = 0; i < 3; ++i) {
    camera_->OnCameraInfo(unusable);
  }
  EXPECT_EQ(log_->Containing("rejected, focal length is not a positive finite number"), 1U);
  EXPECT_EQ(Frame().size(), 3U);
}

// A camera_info that comes after the start-up wait, while tf does not have the
// camera's mounting: the configured one is used (warned once, as for a stale
// file) and the first frame after tf has it takes it.
TEST_F(ImageCallbackTest, MountingFromTfIsTakenWhenItArrives) {
  const Eigen::Matrix4f configured = camera_->grab_pose_estimate_->camera_extrinsic_;
  Eigen::Isometry3d tf_mounting(configured.cast<double>());
  tf_mounting.translation().z() += 0.05;
  auto t = tf2::eigenToTransform(tf_mounting);
  t.header.frame_id = "arm_base_link";
  t.child_frame_id = scene_.camera_frame_id;
  camera_->OnCameraInfo(Info(scene_.scene.camera, 1.0));
  EXPECT_EQ(Frame().size(), 3U);
  Frame();
  EXPECT_EQ(log_->Containing("cam_1: still no transform from " + scene_.camera_frame_id), 1U);
  EXPECT_EQ(camera_->grab_pose_estimate_->camera_extrinsic_, configured);
  ASSERT_TRUE(camera_->tf_buffer_->setTransform(t, "test", true));
  Frame();
  EXPECT_TRUE(camera_->grab_pose_estimate_->camera_extrinsic_.isApprox(
      tf_mounting.matrix().cast<float>(), 1e-6F))
      << camera_->grab_pose_estimate_->camera_extrinsic_;
  EXPECT_EQ(log_->Containing("arrived; it replaces the configured camera mounting"), 1U);
}

TEST(CameraInfoFault, NamesWhatMakesTheIntrinsicsUnusable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string focal = "focal length is not a positive finite number";
  const std::string centre = "principal point is not finite";
  const std::vector<std::pair<sensor_msgs::msg::CameraInfo, std::string>> cases = {
      {Info(326.9, 326.9, 319.4, 181.7, 640, 360), ""},
      {Info(0.0, 326.9, 319.4, 181.7, 640, 360), focal},
      {Info(326.9, -326.9, 319.4, 181.7, 640, 360), focal},
      {Info(326.9, nan, 319.4, 181.7, 640, 360), focal},
      {Info(1e39, 326.9, 319.4, 181.7, 640, 360), focal},
      {Info(326.9, 1e-50, 319.4, 181.7, 640, 360), focal},
      {Info(326.9, 326.9, -1e39, 181.7, 640, 360), centre},
      {Info(326.9, 326.9, 319.4, -std::numeric_limits<double>::infinity(), 640, 360), centre},
      {Info(326.9, 326.9, 319.4, 181.7, 0, 360), "image size is zero"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(CameraInfoFault(cases[i].first), cases[i].second) << "case " << i;
  }
}

// The markers of two records, against geometry worked out here: the box centre
// lies at p_arm + R_arm p_obb, the z arrow along the grab frame's z axis.
TEST(InspectionOutput, MarkersFollowTheGrabFrames) {
  std::vector<TrashInfo> infos(2);
  // Grab frame turned 90 degrees about z, box 2 cm along the grab frame's x
  // and turned 90 degrees about x.
  const Eigen::Quaterniond q_arm(Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()));
  const Eigen::Quaterniond q_obb(Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX()));
  infos[0].arm_pose = ToPoseRecord(Eigen::Vector3d(-0.4, 0.1, -0.15), q_arm);
  infos[0].obb_pose = ToPoseRecord(Eigen::Vector3d(0.02, 0.0, 0.0), q_obb);
  infos[1].arm_pose.px = -0.5;
  const InspectionHeader header{3, "arm_base_link", {}};

  const auto obb = ObbMarkers(header, infos).markers;
  ASSERT_EQ(obb.size(), 2U);
  const Eigen::Vector3d centre(obb[0].pose.position.x, obb[0].pose.position.y,
                               obb[0].pose.position.z);
  EXPECT_TRUE(centre.isApprox(Eigen::Vector3d(-0.4, 0.12, -0.15), 1e-12)) << centre.transpose();
  // Box axes: x along the arm's y, y along the arm's z, z along the arm's x.
  const Eigen::Matrix3d box = Orientation(ToPoseRecord(obb[0].pose)).toRotationMatrix();
  Eigen::Matrix3d expected;
  expected << 0, 0, 1, 1, 0, 0, 0, 1, 0;
  EXPECT_TRUE(box.isApprox(expected, 1e-12)) << box;
  EXPECT_EQ(obb[0].ns, "cam_3_trash_obb");

  const auto arrows = PoseMarkers(header, infos).markers;
  ASSERT_EQ(arrows.size(), 4U);
  // The z arrow's x axis is the grab frame's z axis; the x arrow's its x axis.
  const auto axis_of = [](const visualization_msgs::msg::Marker& m) {
    return Orientation(ToPoseRecord(m.pose)).toRotationMatrix().col(0).eval();
  };
  EXPECT_TRUE(axis_of(arrows[1]).isApprox(q_arm * Eigen::Vector3d::UnitZ(), 1e-12));
  EXPECT_TRUE(axis_of(arrows[0]).isApprox(q_arm * Eigen::Vector3d::UnitX(), 1e-12));
  EXPECT_EQ(arrows[1].pose.position.x, -0.4);
}

}  // namespace
}  // namespace moorwick
