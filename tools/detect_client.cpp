// detect_client: calls the ArmTrashPose detect service once (or a few times)
// and prints the answer readably; with a scene file, beside the ground truth.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sim_camera_support.hpp"

namespace {

void PrintUsage() {
  std::cout <<
      R"(usage: detect_client [options]
  --service NAME      service name (default /moorwick_arm_trash_detect/arm_trash_pose)
  --cmd N             request cmd (default 1)
  --cam-choice N      request cam_choice, 0..255 (default 0)
  --aim X Y Z         aim position in the map frame (request aim_trash_info.map_pose)
  --truth SCENE.yaml  compare the answer with the scene's ground truth
  --aim-piece K       with --truth: aim at piece K's true grab point (map frame)
  --wait S            seconds to wait for the service to appear (default 10)
  --timeout S         seconds to wait for an answer (default 10)
  --repeat N          call N times (default 1)
  --save-image TOPIC FILE
                      write the first rgb8 image on TOPIC that arrives during the
                      last call (the node's detection image) to FILE
Exit status: 0 when every call was answered, 1 otherwise, 2 on bad arguments.
)";
}

struct Options {
  std::string service{"/moorwick_arm_trash_detect/arm_trash_pose"};
  int cmd{1};
  int cam_choice{0};
  std::optional<Eigen::Vector3d> aim;
  std::string truth;
  int aim_piece{-1};
  double wait_s{10.0};
  double timeout_s{10.0};
  int repeat{1};
  std::string image_topic;
  std::string image_file;
};

bool ParseDouble(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(out);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto need = [&](int n) { return i + n < argc; };
    double v = 0.0;
    if (a == "--help" || a == "-h") {
      PrintUsage();
      std::exit(0);  // NOLINT(concurrency-mt-unsafe): before any thread
    } else if (a == "--service" && need(1)) {
      o.service = argv[++i];
    } else if (a == "--cmd" && need(1) && ParseDouble(argv[i + 1], v)) {
      o.cmd = static_cast<int>(v);
      ++i;
    } else if (a == "--cam-choice" && need(1) && ParseDouble(argv[i + 1], v) && v >= 0 &&
               v <= 255) {
      o.cam_choice = static_cast<int>(v);
      ++i;
    } else if (a == "--aim" && need(3)) {
      Eigen::Vector3d p;
      for (int k = 0; k < 3; ++k) {
        if (!ParseDouble(argv[i + 1 + k], p[k]))
          return false;
      }
      o.aim = p;
      i += 3;
    } else if (a == "--truth" && need(1)) {
      o.truth = argv[++i];
    } else if (a == "--aim-piece" && need(1) && ParseDouble(argv[i + 1], v) && v >= 0) {
      o.aim_piece = static_cast<int>(v);
      ++i;
    } else if (a == "--wait" && need(1) && ParseDouble(argv[i + 1], v) && v >= 0) {
      o.wait_s = v;
      ++i;
    } else if (a == "--timeout" && need(1) && ParseDouble(argv[i + 1], v) && v > 0) {
      o.timeout_s = v;
      ++i;
    } else if (a == "--repeat" && need(1) && ParseDouble(argv[i + 1], v) && v >= 1) {
      o.repeat = static_cast<int>(v);
      ++i;
    } else if (a == "--save-image" && need(2)) {
      o.image_topic = argv[++i];
      o.image_file = argv[++i];
    } else if (a.rfind("--ros-args", 0) == 0) {
      break;
    } else {
      std::cerr << "detect_client: bad or incomplete argument '" << a << "'\n";
      return false;
    }
  }
  if (o.aim_piece >= 0 && o.truth.empty()) {
    std::cerr << "detect_client: --aim-piece needs --truth\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    PrintUsage();
    return 2;
  }
  std::optional<moorwick_sim::SceneFile> scene;
  if (!options.truth.empty()) {
    try {
      scene = moorwick_sim::LoadSceneFile(options.truth);
    } catch (const std::exception& e) {
      std::cerr << "detect_client: " << e.what() << "\n";
      return 2;
    }
    if (options.aim_piece >= static_cast<int>(scene->scene.pieces.size())) {
      std::cerr << "detect_client: the scene has no piece " << options.aim_piece << "\n";
      return 2;
    }
    if (options.aim_piece >= 0) {
      const auto t = moorwick_sim::ComputePieceTruth(scene->scene, options.aim_piece);
      options.aim = scene->map_from_arm_base * t.center;
    }
  }

  rclcpp::init(argc, argv);
  auto node = std::make_shared<rclcpp::Node>("detect_client");
  auto client = node->create_client<moorwick_protocol::srv::ArmTrashPose>(options.service);
  if (!client->wait_for_service(std::chrono::duration<double>(options.wait_s))) {
    std::cout << "detect_client: service " << options.service << " not available after "
              << options.wait_s << " s" << std::endl;
    rclcpp::shutdown();
    return 1;
  }

  // The detection image is published while the call is being served, so the
  // subscription exists before the first request goes out.
  std::mutex image_mutex;
  sensor_msgs::msg::Image::SharedPtr last_image;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr image_sub;
  if (!options.image_topic.empty()) {
    image_sub = node->create_subscription<sensor_msgs::msg::Image>(
        options.image_topic, rclcpp::QoS(1), [&](sensor_msgs::msg::Image::SharedPtr msg) {
          std::lock_guard<std::mutex> lock(image_mutex);
          last_image = std::move(msg);
        });
  }

  int answered = 0;
  for (int call = 0; call < options.repeat && rclcpp::ok(); ++call) {
    auto request = std::make_shared<moorwick_protocol::srv::ArmTrashPose::Request>();
    request->cmd = options.cmd;
    request->cam_choice = static_cast<std::uint8_t>(options.cam_choice);
    if (options.aim) {
      request->aim_trash_info.map_pose.position.x = options.aim->x();
      request->aim_trash_info.map_pose.position.y = options.aim->y();
      request->aim_trash_info.map_pose.position.z = options.aim->z();
    }
    std::cout << fmt::format("call {}/{}: {} cmd {} cam_choice {}", call + 1, options.repeat,
                             options.service, options.cmd, options.cam_choice);
    if (options.aim) {
      std::cout << fmt::format(" aim map ({:+.4f}, {:+.4f}, {:+.4f})", options.aim->x(),
                               options.aim->y(), options.aim->z());
    }
    std::cout << std::endl;
    const auto start = std::chrono::steady_clock::now();
    auto future = client->async_send_request(request);
    const auto rc =
        rclcpp::spin_until_future_complete(node, future.future,
                                           std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::duration<double>(options.timeout_s)));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (rc != rclcpp::FutureReturnCode::SUCCESS) {
      std::cout << fmt::format("  no answer within {:.1f} s", options.timeout_s) << std::endl;
      continue;
    }
    ++answered;
    const auto response = future.future.get();
    std::cout << fmt::format(
        "  error code {} ({}) \"{}\", call took {:.1f} ms\n", response->error_code,
        moorwick_sim::ErrorCodeName(response->error_code), response->error_msg, ms);
    if (response->error_code == 102200000) {
      std::cout << moorwick_sim::FormatTrashInfo(response->trash_info);
      if (scene) {
        const auto c = moorwick_sim::CompareWithScene(*scene, response->trash_info);
        if (c.truth_index >= 0) {
          const auto t = moorwick_sim::ComputePieceTruth(scene->scene, c.truth_index);
          std::cout << fmt::format(
              "  truth     [{}] {}: grab point ({:+.4f}, {:+.4f}, {:+.4f}), main axis type {}\n"
              "  error     {:.1f} mm horizontally, {:+.1f} mm vertically ({:.1f} mm in 3-D), "
              "orientation {:.1f} deg; class {}, axis type {} -> {}\n",
              t.piece_index, t.name, t.center.x(), t.center.y(), t.center.z(), t.main_axis_type,
              c.error.horizontal_mm, c.error.vertical_mm, c.error.total_mm,
              moorwick_sim::GrabOrientationErrorDeg(
                  Eigen::Quaterniond(response->trash_info.arm_pose.orientation.w,
                                     response->trash_info.arm_pose.orientation.x,
                                     response->trash_info.arm_pose.orientation.y,
                                     response->trash_info.arm_pose.orientation.z),
                  t.grab_orientation),
              response->trash_info.class_id == t.class_index ? "right" : "WRONG",
              response->trash_info.main_axis_type == t.main_axis_type ? "right" : "different",
              c.error.ok && response->trash_info.class_id == t.class_index ? "WITHIN 10 mm"
                                                                           : "NOT WITHIN 10 mm");
        }
      }
    }
    std::cout << std::flush;
  }
  if (image_sub) {
    // Give a detection image still on the wire a moment to arrive.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (rclcpp::ok() && std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(image_mutex);
        if (last_image)
          break;
      }
      rclcpp::spin_some(node);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::lock_guard<std::mutex> lock(image_mutex);
    std::string problem;
    if (moorwick_sim::SaveRgbImage(last_image, options.image_file, problem)) {
      std::cout << "detection image written to " << options.image_file << std::endl;
    } else {
      std::cout << "detection image not written: " << problem << std::endl;
    }
  }
  rclcpp::shutdown();
  return answered == options.repeat ? 0 : 1;
}
