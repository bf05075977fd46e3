// Whole frames through CameraDetectionNode::ImageCallback, from the
// synchronised colour + depth pair to the done flag, with the model's share
// taken out: a replay model hands back the segmentation of the rendered frame
// (each piece's rendered mask and box, as a perfect model would), and the time
// it spends copying them is subtracted.
//
// The scene is the demo scene with every piece in reach plus a fifth one,
// rendered at 1280x720 and 640x360 with the same field of view.
//
// Stages are read from the time stamps of the callback's own log lines:
//   cutout     - "now processing trash" .. "原始点云数量" (mask scaling, erosion,
//                mask points, depth to cloud)
//   estimation - "原始点云数量" .. "grab pose estimate flag_estimate" (transform
//                to the arm base and GrabPoseEstimate)
//   rest       - everything else: colour conversion, detection image and its
//                publication, filtering, checks, logging, hand-over.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/base_sink.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <cv_bridge/cv_bridge.h>
#include <rclcpp/rclcpp.hpp>

#include "bench_env.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"
#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "moorwick_sim/scene_render.hpp"

namespace {

namespace fs = std::filesystem;
using SysClock = std::chrono::system_clock;
using ai_moor::model::SegObject;
using moorwick::CameraDetectionNode;
using ImageMsg = sensor_msgs::msg::Image;

double Ms(SysClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Time stamps of the log lines that bound the stages of one piece.
class StageSink : public spdlog::sinks::base_sink<std::mutex> {
public:
  enum class Mark { kPieceStart, kCloudDone, kEstimateDone };
  struct Stamp {
    SysClock::time_point time;
    Mark mark;
  };

  std::vector<Stamp> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Stamp> out;
    out.swap(stamps_);
    return out;
  }

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string_view text(msg.payload.data(), msg.payload.size());
    if (text.find("now processing trash") != std::string_view::npos) {
      stamps_.push_back({msg.time, Mark::kPieceStart});
    } else if (text.find("原始点云数量：") != std::string_view::npos) {
      stamps_.push_back({msg.time, Mark::kCloudDone});
    } else if (text.find("grab pose estimate flag_estimate") != std::string_view::npos) {
      stamps_.push_back({msg.time, Mark::kEstimateDone});
    }
  }
  void flush_() override {}

private:
  std::vector<Stamp> stamps_;
};

std::shared_ptr<StageSink> InstallStageSink() {
  static std::shared_ptr<StageSink> sink = [] {
    auto s = std::make_shared<StageSink>();
    auto& logger = moorwick::Logger::Instance();
    if (logger.logger_) {
      logger.logger_->sinks().push_back(s);
    }
    return s;
  }();
  return sink;
}

// Hands back a fixed segmentation, deep-copied so that the callback may do
// with its masks what it likes; reports how long the copy took.
class ReplayModel : public ai_moor::model::YOLOv8Seg {
public:
  ReplayModel(const std::string& cfg, std::vector<SegObject> objects)
      : YOLOv8Seg(cfg), objects_(std::move(objects)) {}
  int detect(const cv::Mat&, std::vector<SegObject>& objects) override {
    const auto start = SysClock::now();
    objects = objects_;
    for (auto& obj : objects) {
      obj.mask = obj.mask.clone();
    }
    last_ = SysClock::now() - start;
    return static_cast<int>(objects.size());
  }
  SysClock::duration last() const { return last_; }

private:
  std::vector<SegObject> objects_;
  SysClock::duration last_{};
};

// The demo scene with every piece in reach and a fifth piece, seen by the
// demo camera at `width` x `height` (same field of view).
moorwick_sim::SceneFile FivePieceScene(int width, int height) {
  moorwick_sim::SceneFile file =
      moorwick_sim::LoadSceneFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/scene.yaml");
  auto& scene = file.scene;
  for (auto& piece : scene.pieces) {
    if (piece.class_name == "paper") {
      piece.shape = moorwick_sim::Shape::Box({0.10, 0.08, 0.01}, {-0.62, 0.16, 0.0}, {0, 0, 10})
                        .RestingOn(scene.floor_z);
      piece.name = "paper (in reach)";
    }
  }
  moorwick_sim::ScenePiece milk;
  milk.name = "milk carton (lying)";
  milk.class_name = "milk";
  milk.class_index = moorwick_sim::ClassIndexOfName("milk");
  milk.shape = moorwick_sim::Shape::Box({0.10, 0.065, 0.045}, {-0.60, -0.16, 0.0}, {0, 0, -20})
                   .RestingOn(scene.floor_z);
  milk.color = {{240, 240, 250}};
  scene.pieces.push_back(milk);

  auto& cam = scene.camera;
  const double scale = static_cast<double>(width) / cam.width;
  cam.fx *= scale;
  cam.fy *= scale;
  cam.cx = (cam.cx + 0.5) * scale - 0.5;
  cam.cy = (cam.cy + 0.5) * scale - 0.5;
  cam.width = width;
  cam.height = height;
  return file;
}

// One camera node set up as the node does it, on a temporary install prefix.
class FrameFixture {
public:
  FrameFixture(int width, int height) {
    root_ = fs::temp_directory_path() /
            ("moorwick_frame_bench_" + std::to_string(::getpid()) + "_" + std::to_string(width));
    fs::remove_all(root_);
    const fs::path config = root_ / "share/moorwick_arm_trash_detect/config";
    fs::create_directories(root_ / "share/ament_index/resource_index/packages");
    // The marker file only has to exist.
    std::ofstream marker(root_ /
                         "share/ament_index/resource_index/packages/moorwick_arm_trash_detect");
    fs::create_directories(config);
    fs::copy(MOORWICK_SOURCE_CONFIG_DIR, config,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    ::setenv("AMENT_PREFIX_PATH", root_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): no node yet

    scene_ = FivePieceScene(width, height);
    YAML::Node estimator = YAML::LoadFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) +
                                          "/demo/demo_pose_estimate_config.yaml");
    estimator["debug_choice"]["folder_path"] = (root_ / "data").string() + "/";
    std::ofstream(config / "frame_bench_pose_estimate_config.yaml") << estimator;

    // The shipped camera file (no debug, no real-time output, semantic and
    // transparent checks on) pointed at the scene.
    const std::string path = (config / "cam1_detect_config.yaml").string();
    YAML::Node cam = YAML::LoadFile(path);
    YAML::Node params = cam["camera_detection_params"];
    params["cam_frame_id"] = scene_.camera_frame_id;
    params["pose_estimate_config_file"] = "frame_bench_pose_estimate_config.yaml";
    params["camera_info_topic"] = "";
    params["rgb_topic"] = "/frame_bench/color";
    params["depth_topic"] = "/frame_bench/depth";
    params["detected_image_topic"] = "/frame_bench/detected_image";
    const std::string model_cfg =
        std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/demo/model_color_key.yaml";
    params["model_cfg_file"] = model_cfg;
    std::ofstream(path) << cam;

    static int counter = 0;
    node_ = std::make_shared<rclcpp::Node>("frame_bench_" + std::to_string(counter++));
    camera_ = moorwick::MakeCameraDetectionNode(node_, path);
    const auto& c = scene_.scene.camera;
    camera_->camera_params_ = {static_cast<float>(c.fx),
                               static_cast<float>(c.fy),
                               static_cast<float>(c.cx),
                               static_cast<float>(c.cy),
                               static_cast<std::uint32_t>(c.width),
                               static_cast<std::uint32_t>(c.height)};

    const moorwick_sim::RenderedFrame frame =
        moorwick_sim::RenderScene(scene_.scene, scene_.render);
    std::vector<SegObject> objects;
    for (std::size_t i = 0; i < frame.truth.size(); ++i) {
      if (frame.truth[i].visible_pixels == 0) {
        continue;
      }
      SegObject obj;
      obj.rect = cv::Rect_<float>(frame.truth[i].bbox);
      obj.label = frame.truth[i].class_index;
      obj.prob = 0.9F;
      obj.mask = frame.masks[i].clone();
      objects.push_back(obj);
    }
    pieces_ = objects.size();
    model_ = std::make_shared<ReplayModel>(model_cfg, std::move(objects));
    camera_->model_ = model_;

    std_msgs::msg::Header header;
    header.frame_id = scene_.camera_frame_id;
    rgb_ = cv_bridge::CvImage(header, "rgb8", frame.rgb).toImageMsg();
    depth_ = cv_bridge::CvImage(header, "16UC1", frame.depth).toImageMsg();
  }

  ~FrameFixture() {
    camera_.reset();
    node_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  CameraDetectionNode& camera() { return *camera_; }
  const ReplayModel& model() const { return *model_; }
  std::size_t pieces() const { return pieces_; }
  const ImageMsg::ConstSharedPtr& rgb() const { return rgb_; }
  const ImageMsg::ConstSharedPtr& depth() const { return depth_; }

private:
  fs::path root_;
  moorwick_sim::SceneFile scene_;
  rclcpp::Node::SharedPtr node_;
  std::shared_ptr<CameraDetectionNode> camera_;
  std::shared_ptr<ReplayModel> model_;
  std::size_t pieces_{0};
  ImageMsg::ConstSharedPtr rgb_;
  ImageMsg::ConstSharedPtr depth_;
};

double Median(std::vector<double> values) {
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_Frame(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  FrameFixture fixture(width, height);
  auto sink = InstallStageSink();
  CameraDetectionNode& camera = fixture.camera();

  std::vector<double> total_ms;
  std::vector<double> cutout_ms;
  std::vector<double> estimation_ms;
  std::vector<double> rest_ms;
  std::size_t records = 0;
  std::size_t estimated = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    camera.ArmDetect();
    sink->Take();
    const auto start = SysClock::now();
    camera.ImageCallback(fixture.rgb(), fixture.depth());
    const auto end = SysClock::now();
    if (!camera.IsDetectDone()) {
      state.SkipWithError("the frame did not raise the done flag");
      break;
    }
    const auto total = end - start - fixture.model().last();

    SysClock::duration cutout{};
    SysClock::duration estimation{};
    SysClock::time_point piece_start{};
    SysClock::time_point cloud_done{};
    estimated = 0;
    for (const auto& stamp : sink->Take()) {
      switch (stamp.mark) {
        case StageSink::Mark::kPieceStart:
          piece_start = stamp.time;
          break;
        case StageSink::Mark::kCloudDone:
          cloud_done = stamp.time;
          cutout += cloud_done - piece_start;
          break;
        case StageSink::Mark::kEstimateDone:
          estimation += stamp.time - cloud_done;
          ++estimated;
          break;
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(total).count());
    total_ms.push_back(Ms(total));
    cutout_ms.push_back(Ms(cutout));
    estimation_ms.push_back(Ms(estimation));
    rest_ms.push_back(Ms(total - cutout - estimation));
    records = camera.CopyTrashInfos().size();
  }
  state.counters["median_ms"] = Median(total_ms);
  state.counters["cutout_ms"] = Median(cutout_ms);
  state.counters["estimation_ms"] = Median(estimation_ms);
  state.counters["rest_ms"] = Median(rest_ms);
  state.counters["pieces"] = static_cast<double>(fixture.pieces());
  state.counters["estimated"] = static_cast<double>(estimated);
  state.counters["records"] = static_cast<double>(records);
  state.SetLabel(std::to_string(width) + "x" + std::to_string(height));
}
BENCHMARK(BM_Frame)
    ->ArgNames({"w", "h"})
    ->Args({1280, 720})
    ->Args({640, 360})
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  moorwick_bench::QuietRosEnvironment();
  rclcpp::init(0, nullptr);
  benchmark::Initialize(&argc, argv);
  moorwick_bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* run : {"BM_Frame/w:1280/h:720/iterations:30/manual_time",
                          "BM_Frame/w:640/h:360/iterations:30/manual_time"}) {
    const double median = reporter.Counter(run, "median_ms");
    if (median >= 0.0) {
      std::printf(
          "Frame processing, model excluded, %s: median %.2f ms (cut-out %.2f, "
          "estimation %.2f, rest %.2f)\n",
          run, median, reporter.Counter(run, "cutout_ms"), reporter.Counter(run, "estimation_ms"),
          reporter.Counter(run, "rest_ms"));
    }
  }
  benchmark::Shutdown();
  rclcpp::shutdown();
  return 0;
}
