#include "sim_camera_support.hpp"

#include <fmt/format.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <limits>

#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"

namespace moorwick_sim {
namespace {

constexpr double kPi = 3.141592653589793;

std::string ClassNameOf(int class_index) {
  const std::string& name = moorwick::ClassName(moorwick::ClassIdOfIndex(class_index));
  return name.empty() ? "?" : name;
}

std::string AxisTypeName(int type) {
  switch (type) {
    case 1:
      return "lying";
    case 2:
      return "standing";
    case 3:
      return "slanted (low)";
    case 4:
      return "slanted (steep)";
    default:
      return "unknown";
  }
}

sensor_msgs::msg::Image MakeImage(const cv::Mat& image, const rclcpp::Time& stamp,
                                  const std::string& frame_id, const char* encoding) {
  sensor_msgs::msg::Image msg;
  msg.header.stamp = stamp;
  msg.header.frame_id = frame_id;
  msg.height = static_cast<std::uint32_t>(image.rows);
  msg.width = static_cast<std::uint32_t>(image.cols);
  msg.encoding = encoding;
  msg.is_bigendian = 0;  // the host order of every machine this runs on
  const std::size_t row_bytes = image.cols * image.elemSize();
  msg.step = static_cast<std::uint32_t>(row_bytes);
  msg.data.resize(row_bytes * static_cast<std::size_t>(image.rows));
  for (int r = 0; r < image.rows; ++r) {
    std::memcpy(msg.data.data() + row_bytes * static_cast<std::size_t>(r), image.ptr(r), row_bytes);
  }
  return msg;
}

}  // namespace

sensor_msgs::msg::Image MakeRgbImage(const cv::Mat& rgb, const rclcpp::Time& stamp,
                                     const std::string& frame_id) {
  CV_Assert(rgb.type() == CV_8UC3);
  return MakeImage(rgb, stamp, frame_id, "rgb8");
}

sensor_msgs::msg::Image MakeDepthImage(const cv::Mat& depth, const rclcpp::Time& stamp,
                                       const std::string& frame_id) {
  CV_Assert(depth.type() == CV_16UC1);
  return MakeImage(depth, stamp, frame_id, "16UC1");
}

sensor_msgs::msg::CameraInfo MakeCameraInfo(const moorwick_sim::PinholeCamera& camera,
                                            const rclcpp::Time& stamp,
                                            const std::string& frame_id) {
  sensor_msgs::msg::CameraInfo msg;
  msg.header.stamp = stamp;
  msg.header.frame_id = frame_id;
  msg.width = static_cast<std::uint32_t>(camera.width);
  msg.height = static_cast<std::uint32_t>(camera.height);
  msg.distortion_model = "plumb_bob";
  msg.d = {0.0, 0.0, 0.0, 0.0, 0.0};
  msg.k = {camera.fx, 0.0, camera.cx, 0.0, camera.fy, camera.cy, 0.0, 0.0, 1.0};
  msg.r = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  msg.p = {camera.fx, 0.0, camera.cx, 0.0, 0.0, camera.fy, camera.cy, 0.0, 0.0, 0.0, 1.0, 0.0};
  return msg;
}

geometry_msgs::msg::TransformStamped MakeTransform(const rclcpp::Time& stamp,
                                                   const std::string& parent,
                                                   const std::string& child,
                                                   const Eigen::Isometry3d& parent_from_child) {
  geometry_msgs::msg::TransformStamped t;
  t.header.stamp = stamp;
  t.header.frame_id = parent;
  t.child_frame_id = child;
  const Eigen::Vector3d p = parent_from_child.translation();
  const Eigen::Quaterniond q(parent_from_child.linear());
  t.transform.translation.x = p.x();
  t.transform.translation.y = p.y();
  t.transform.translation.z = p.z();
  const Eigen::Quaterniond qn = q.normalized();
  t.transform.rotation.x = qn.x();
  t.transform.rotation.y = qn.y();
  t.transform.rotation.z = qn.z();
  t.transform.rotation.w = qn.w();
  return t;
}

std::string FormatTruth(const moorwick_sim::SceneFile& scene,
                        const moorwick_sim::RenderedFrame& frame) {
  std::string out = fmt::format("ground truth ({} pieces, arm base frame '{}', map frame '{}'):\n",
                                frame.truth.size(), scene.arm_base_frame_id, scene.map_frame_id);
  for (const moorwick_sim::PieceTruth& t : frame.truth) {
    const Eigen::Vector3d map = scene.map_from_arm_base * t.center;
    const Eigen::Quaterniond& q = t.grab_orientation;
    out += fmt::format(
        "  [{}] {} (class {} = {}): {}\n"
        "      grab point  arm ({:+.4f}, {:+.4f}, {:+.4f})  map ({:+.4f}, {:+.4f}, {:+.4f})\n"
        "      orientation (x {:+.4f}, y {:+.4f}, z {:+.4f}, w {:+.4f})  main axis "
        "({:+.3f}, {:+.3f}, {:+.3f})\n"
        "      extents {:.3f} x {:.3f} x {:.3f} m, {} px visible{}{}\n",
        t.piece_index, t.name, t.class_index, t.class_name, AxisTypeName(t.main_axis_type),
        t.center.x(), t.center.y(), t.center.z(), map.x(), map.y(), map.z(), q.x(), q.y(), q.z(),
        q.w(), t.main_axis.x(), t.main_axis.y(), t.main_axis.z(), t.extents.x(), t.extents.y(),
        t.extents.z(), t.visible_pixels, t.transparent ? ", transparent" : "",
        t.visible_pixels == 0 ? " (NOT VISIBLE)" : "");
  }
  return out;
}

std::string ErrorCodeName(int code) {
  switch (code) {
    case 102200000:
      return "NONE";
    case 102200003:
      return "TRASH_POSE_LIST_EMPTY";
    case 102200010:
      return "NO_TARGET_TRASH_CHOOSED";
    case 0:
      return "no code (every camera timed out)";
    default:
      return "unknown code";
  }
}

Comparison CompareWithScene(const moorwick_sim::SceneFile& scene,
                            const moorwick_protocol::msg::TrashInfo& answer) {
  Comparison c;
  const Eigen::Vector3d grab(answer.arm_pose.position.x, answer.arm_pose.position.y,
                             answer.arm_pose.position.z);
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < static_cast<int>(scene.scene.pieces.size()); ++i) {
    const moorwick_sim::PieceTruth t = moorwick_sim::ComputePieceTruth(scene.scene, i);
    const double d = (t.center - grab).head<2>().norm();
    if (d < best) {
      best = d;
      c.truth_index = i;
      c.error = moorwick_sim::CompareGrab(t, grab);
    }
  }
  return c;
}

bool SaveRgbImage(const sensor_msgs::msg::Image::ConstSharedPtr& image, const std::string& path,
                  std::string& problem) {
  if (!image) {
    problem = "no image received";
    return false;
  }
  if (image->encoding != "rgb8" || image->width == 0 || image->height == 0 ||
      image->step < image->width * 3U ||
      image->data.size() < static_cast<std::size_t>(image->step) * image->height) {
    problem =
        fmt::format("not a usable rgb8 image ({}x{}, encoding '{}', step {}, {} bytes)",
                    image->width, image->height, image->encoding, image->step, image->data.size());
    return false;
  }
  const cv::Mat rgb(static_cast<int>(image->height), static_cast<int>(image->width), CV_8UC3,
                    const_cast<std::uint8_t*>(image->data.data()), image->step);
  cv::Mat bgr;
  cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
  try {
    if (!cv::imwrite(path, bgr)) {
      problem = "cannot write " + path;
      return false;
    }
  } catch (const cv::Exception& e) {
    problem = "cannot write " + path + ": " + e.what();
    return false;
  }
  return true;
}

double GrabOrientationErrorDeg(const Eigen::Quaterniond& answer, const Eigen::Quaterniond& truth) {
  const Eigen::Quaterniond a = answer.normalized();
  const Eigen::Quaterniond flipped =
      truth.normalized() * Eigen::Quaterniond(Eigen::AngleAxisd(kPi, Eigen::Vector3d::UnitZ()));
  const double best = std::max(std::abs(a.dot(truth.normalized())), std::abs(a.dot(flipped)));
  return 2.0 * std::acos(std::min(1.0, best)) * 180.0 / kPi;
}

std::string FormatTrashInfo(const moorwick_protocol::msg::TrashInfo& info) {
  const auto& a = info.arm_pose;
  const auto& m = info.map_pose;
  const auto& o = info.obb_pose;
  return fmt::format(
      "  class {} ({}), main axis type {} ({})\n"
      "  arm pose  position ({:+.4f}, {:+.4f}, {:+.4f})  orientation (x {:+.4f}, y {:+.4f}, z "
      "{:+.4f}, w {:+.4f})\n"
      "  map pose  position ({:+.4f}, {:+.4f}, {:+.4f})  orientation (x {:+.4f}, y {:+.4f}, z "
      "{:+.4f}, w {:+.4f})\n"
      "  box       size {:.3f} x {:.3f} x {:.3f} m, centre ({:+.4f}, {:+.4f}, {:+.4f}) from the "
      "grab frame\n",
      static_cast<int>(info.class_id), ClassNameOf(info.class_id),
      static_cast<int>(info.main_axis_type), AxisTypeName(info.main_axis_type), a.position.x,
      a.position.y, a.position.z, a.orientation.x, a.orientation.y, a.orientation.z,
      a.orientation.w, m.position.x, m.position.y, m.position.z, m.orientation.x, m.orientation.y,
      m.orientation.z, m.orientation.w, info.obb_size[0], info.obb_size[1], info.obb_size[2],
      o.position.x, o.position.y, o.position.z);
}

}  // namespace moorwick_sim
