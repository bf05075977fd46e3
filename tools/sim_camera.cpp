// sim_camera: an RGB-D camera driver for a virtual scene. Publishes what a
// registered RGB-D driver publishes (rgb8 colour, 16UC1 depth in millimetres,
// camera_info, all with one stamp and the optical frame id), the camera's
// mounting on /tf_static and the robot's place in the map on /tf.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <Eigen/Geometry>

#include "moorwick_sim/scene_file.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sim_camera_support.hpp"
#include "tf2_msgs/msg/tf_message.hpp"

namespace {

void PrintUsage() {
  std::cout <<
      R"(usage: sim_camera SCENE.yaml [options]
  --rate HZ          frames per second (default: the scene file's camera.rate_hz)
  --frames N         stop after N frames (default: run until SIGINT/SIGTERM)
  --variants N       distinct noise draws cycled through (default 4)
  --seed S           first noise seed (default: the scene file's noise.seed)
  --print-truth      print each piece's true grab point and orientation, then run
  --truth-only       print the truth and exit without publishing
  --no-map-tf        do not publish the map -> arm base transform on /tf
  --no-camera-tf     do not publish the camera's mounting on /tf_static
  --node-name NAME   ROS node name (default sim_camera)
)";
}

struct Options {
  std::string scene;
  double rate_hz{0.0};
  long frames{-1};
  int variants{4};
  long seed{-1};
  bool print_truth{false};
  bool truth_only{false};
  bool map_tf{true};
  bool camera_tf{true};
  std::string node_name{"sim_camera"};
};

bool ParseOptions(int argc, char** argv, Options& o) {
  auto number = [&](int& i, double& out) {
    if (i + 1 >= argc)
      return false;
    char* end = nullptr;
    out = std::strtod(argv[++i], &end);
    return end != argv[i] && *end == '\0';
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    double v = 0.0;
    if (a == "--help" || a == "-h") {
      PrintUsage();
      std::exit(0);  // NOLINT(concurrency-mt-unsafe): before any thread
    } else if (a == "--rate") {
      if (!number(i, v) || !(v > 0.0) || v > 100.0)
        return false;
      o.rate_hz = v;
    } else if (a == "--frames") {
      if (!number(i, v) || v < 1.0)
        return false;
      o.frames = static_cast<long>(v);
    } else if (a == "--variants") {
      if (!number(i, v) || v < 1.0 || v > 64.0)
        return false;
      o.variants = static_cast<int>(v);
    } else if (a == "--seed") {
      if (!number(i, v) || v < 0.0)
        return false;
      o.seed = static_cast<long>(v);
    } else if (a == "--print-truth") {
      o.print_truth = true;
    } else if (a == "--truth-only") {
      o.truth_only = true;
    } else if (a == "--no-map-tf") {
      o.map_tf = false;
    } else if (a == "--no-camera-tf") {
      o.camera_tf = false;
    } else if (a == "--node-name") {
      if (i + 1 >= argc)
        return false;
      o.node_name = argv[++i];
    } else if (a.rfind("--ros-args", 0) == 0) {
      break;  // the rest belongs to ROS
    } else if (!a.empty() && a[0] != '-' && o.scene.empty()) {
      o.scene = a;
    } else {
      std::cerr << "sim_camera: unknown or misplaced argument '" << a << "'\n";
      return false;
    }
  }
  return !o.scene.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    PrintUsage();
    return 2;
  }
  moorwick_sim::SceneFile scene;
  try {
    scene = moorwick_sim::LoadSceneFile(options.scene);
  } catch (const std::exception& e) {
    std::cerr << "sim_camera: " << e.what() << "\n";
    return 1;
  }
  if (options.rate_hz > 0.0)
    scene.rate_hz = options.rate_hz;
  if (options.seed >= 0)
    scene.render.seed = static_cast<std::uint32_t>(options.seed);

  // Frames are rendered up front: ray casting a full frame costs more than a
  // frame period on a small machine, and a few noise draws are enough to keep
  // the stream from being a still image.
  std::vector<moorwick_sim::RenderedFrame> frames;
  for (int k = 0; k < options.variants; ++k) {
    moorwick_sim::RenderOptions render = scene.render;
    render.seed = scene.render.seed + static_cast<std::uint32_t>(k);
    frames.push_back(moorwick_sim::RenderScene(scene.scene, render));
  }
  if (options.print_truth || options.truth_only) {
    std::cout << moorwick_sim::FormatTruth(scene, frames.front()) << std::flush;
    if (options.truth_only)
      return 0;
  }

  rclcpp::init(argc, argv);
  auto node = std::make_shared<rclcpp::Node>(options.node_name);
  const auto image_qos = rclcpp::QoS(5).reliable().durability_volatile();
  auto rgb_pub = node->create_publisher<sensor_msgs::msg::Image>(scene.rgb_topic, image_qos);
  auto depth_pub = node->create_publisher<sensor_msgs::msg::Image>(scene.depth_topic, image_qos);
  auto info_pub =
      node->create_publisher<sensor_msgs::msg::CameraInfo>(scene.camera_info_topic, image_qos);
  // The same QoS as tf2_ros's broadcasters, so stock listeners match.
  auto tf_static_pub = node->create_publisher<tf2_msgs::msg::TFMessage>(
      "/tf_static", rclcpp::QoS(1).reliable().transient_local());
  auto tf_pub = node->create_publisher<tf2_msgs::msg::TFMessage>(
      "/tf", rclcpp::QoS(100).reliable().durability_volatile());

  if (options.camera_tf) {
    tf2_msgs::msg::TFMessage msg;
    msg.transforms.push_back(moorwick_sim::MakeTransform(node->now(), scene.arm_base_frame_id,
                                                         scene.camera_frame_id,
                                                         scene.scene.camera.base_from_camera));
    tf_static_pub->publish(msg);
  }
  std::cout << "sim_camera: " << scene.scene.pieces.size() << " pieces, "
            << scene.scene.camera.width << "x" << scene.scene.camera.height << " at "
            << scene.rate_hz << " Hz on " << scene.rgb_topic << ", " << scene.depth_topic << ", "
            << scene.camera_info_topic << " (frame " << scene.camera_frame_id << ")" << std::endl;

  const auto period = std::chrono::duration<double>(1.0 / scene.rate_hz);
  auto next = std::chrono::steady_clock::now();
  long sent = 0;
  while (rclcpp::ok() && (options.frames < 0 || sent < options.frames)) {
    const auto& frame = frames[static_cast<std::size_t>(sent) % frames.size()];
    const rclcpp::Time stamp = node->now();
    rgb_pub->publish(moorwick_sim::MakeRgbImage(frame.rgb, stamp, scene.camera_frame_id));
    depth_pub->publish(moorwick_sim::MakeDepthImage(frame.depth, stamp, scene.camera_frame_id));
    info_pub->publish(
        moorwick_sim::MakeCameraInfo(scene.scene.camera, stamp, scene.camera_frame_id));
    if (options.map_tf) {
      tf2_msgs::msg::TFMessage msg;
      msg.transforms.push_back(moorwick_sim::MakeTransform(
          stamp, scene.map_frame_id, scene.arm_base_frame_id, scene.map_from_arm_base));
      tf_pub->publish(msg);
    }
    ++sent;
    if (sent == 1 || sent % 100 == 0) {
      std::cout << "sim_camera: " << sent << " frames sent" << std::endl;
    }
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
    // Sleep in short slices so a shutdown request ends the loop promptly.
    while (rclcpp::ok() && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::cout << "sim_camera: stopped after " << sent << " frames" << std::endl;
  rclcpp::shutdown();
  return 0;
}
