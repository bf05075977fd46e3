// Writes the seeds of fuzz_messages into a folder: one sample of each type,
// shaped and valued like the demo's traffic (the demo camera's frames, camera
// info and transforms, a detect call and its answer, the node's clouds and
// markers), kept small enough for -max_len=4096. First byte: the harness's
// type selector.
//
//   write_message_seeds <folder>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "moorwick_protocol/msg/grab_trash_cloud.hpp"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "ros2_runtime/cdr.hpp"
#include "ros2_runtime/type_support.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

namespace {

std::string g_dir;

void save(const std::string& name, unsigned char selector, const std::vector<unsigned char>& b) {
  std::ofstream out(g_dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.put(static_cast<char>(selector));
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

template <class T>
std::vector<unsigned char> envelope(const T& msg) {
  const ros2_runtime::ServiceEnvelope<T> env{0x01100a2f3c4d5e6fULL, 3, &msg};
  const auto& ts = ros2_runtime::service_type_support<T>();
  std::vector<unsigned char> out(ts.size(&env));
  ts.write(&env, out.data());
  return out;
}

std_msgs::msg::Header header(const char* frame) {
  return {{1733560000, 0}, frame};
}

sensor_msgs::msg::PointCloud2 xyz_cloud(const char* frame, int points) {
  sensor_msgs::msg::PointCloud2 c;
  c.header = header(frame);
  c.height = 1;
  c.width = static_cast<uint32_t>(points);
  const char* names[] = {"x", "y", "z"};
  for (uint32_t i = 0; i < 3; ++i) {
    c.fields.push_back({names[i], 4 * i, sensor_msgs::msg::PointField::FLOAT32, 1});
  }
  c.point_step = 16;
  c.row_step = c.point_step * c.width;
  c.data.assign(c.row_step, 0x3e);  // every coordinate about 0.19 m
  c.is_dense = true;
  return c;
}

geometry_msgs::msg::Pose pose(double x, double y, double z) {
  return {{x, y, z}, {0.0, 1.0, 0.0, 1.0}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_message_seeds <folder>\n");
    return 2;
  }
  g_dir = argv[1];
  namespace cdr = ros2_runtime::cdr;

  const auto optical = header("camera_color_optical_frame");
  save("image_rgb8", 0,
       cdr::serialize(
           sensor_msgs::msg::Image{optical, 6, 8, "rgb8", 0, 24, std::vector<uint8_t>(144, 128)}));
  // 514 mm everywhere.
  save("image_16uc1", 0,
       cdr::serialize(
           sensor_msgs::msg::Image{optical, 6, 8, "16UC1", 0, 16, std::vector<uint8_t>(96, 0x02)}));

  sensor_msgs::msg::CameraInfo info;
  info.header = optical;
  info.height = 360;
  info.width = 640;
  info.distortion_model = "plumb_bob";
  info.d = {0.0, 0.0, 0.0, 0.0, 0.0};
  info.k = {326.9, 0.0, 319.4, 0.0, 326.9, 181.7, 0.0, 0.0, 1.0};
  save("camera_info", 1, cdr::serialize(info));

  const geometry_msgs::msg::Transform up{{0.0, 0.0, 0.176}, {0.0, 0.0, 0.0, 1.0}};
  save("tf", 2,
       cdr::serialize(tf2_msgs::msg::TFMessage{
           {{header("map"), "arm_base_link", up},
            {header("arm_base_link"), "camera_color_optical_frame", up}}}));

  moorwick_protocol::srv::ArmTrashPose::Request req;
  req.cmd = 1;
  req.cam_choice = 0;
  req.aim_trash_info.map_pose = pose(1.88, 0.55, 0.02);
  save("arm_trash_pose_request", 3, envelope(req));

  moorwick_protocol::srv::ArmTrashPose::Response res;
  res.trash_info.class_id = 17;
  res.trash_info.main_axis_type = 1;
  res.trash_info.map_pose = pose(1.8767, 0.549, 0.0111);
  res.trash_info.obb_size = {0.12, 0.08, 0.03};
  res.error_code = 102200000;
  res.error_msg = "NONE: \xe6\x97\xa0\xe9\x94\x99\xe8\xaf\xaf";
  save("arm_trash_pose_response", 4, envelope(res));

  save("grab_trash_cloud", 5,
       cdr::serialize(moorwick_protocol::msg::GrabTrashCloud{
           2,
           "rear_camera_color_optical_frame",
           header("arm_base_link"),
           {{5, {0.2, 0.07, 0.07}, true, xyz_cloud("arm_base_link", 12)}}}));

  save("point_cloud2", 6, cdr::serialize(xyz_cloud("arm_base_link", 40)));

  visualization_msgs::msg::MarkerArray markers;
  visualization_msgs::msg::Marker m;
  m.header = header("arm_base_link");
  m.ns = "cam1_trash_obb";
  m.id = 0;
  m.type = visualization_msgs::msg::Marker::CUBE;
  m.pose = pose(-0.4510, 0.1233, -0.1649);
  m.color.a = 0.5f;
  markers.markers.push_back(m);
  m.ns = "cam1_trash_pose";
  m.type = visualization_msgs::msg::Marker::ARROW;
  m.points.resize(2);
  m.points[1].z = 0.1;
  m.text = "carton_box";
  markers.markers.push_back(m);
  save("marker_array", 7, cdr::serialize(markers));
  return 0;
}
