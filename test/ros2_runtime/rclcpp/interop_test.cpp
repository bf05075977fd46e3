// Interop with types that do not come from our generator: idlc compiles IDL
// written by hand from the Humble definitions (idl/humble_types.idl). Samples
// go from a raw Cyclone C writer to our subscriptions and from our
// publishers to a raw Cyclone C reader, and must arrive field for field.
#include <dds/dds.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "humble_types.h"
#include "moorwick_protocol.h"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

using namespace std::chrono_literals;

namespace {

// Keeps the C-side buffers built from a C++ message alive while it is written.
struct Arena {
  std::vector<std::shared_ptr<void>> blocks;
  template <class T>
  T* alloc(size_t n) {
    std::shared_ptr<T> p(new T[n == 0 ? 1 : n](), std::default_delete<T[]>());
    blocks.push_back(p);
    return p.get();
  }
};

char* cstr(const std::string& s) {
  return const_cast<char*>(s.c_str());
}

template <class Seq, class T>
void bytes_to_c(Seq& seq, const std::vector<T>& v) {
  seq._maximum = seq._length = static_cast<uint32_t>(v.size());
  seq._buffer = const_cast<T*>(v.data());
  seq._release = false;
}

template <class Seq, class CT, class T, class Conv>
void seq_to_c(Seq& seq, const std::vector<T>& v, Arena& a, Conv conv) {
  seq._maximum = seq._length = static_cast<uint32_t>(v.size());
  seq._buffer = a.alloc<CT>(v.size());
  seq._release = false;
  for (size_t i = 0; i < v.size(); ++i) {
    conv(seq._buffer[i], v[i], a);
  }
}

template <class Seq, class T, class Same>
bool seq_same(const Seq& seq, const std::vector<T>& v, Same same) {
  if (seq._length != v.size()) {
    return false;
  }
  for (size_t i = 0; i < v.size(); ++i) {
    if (!same(seq._buffer[i], v[i])) {
      return false;
    }
  }
  return true;
}

template <class Seq, class T>
bool bytes_same(const Seq& seq, const std::vector<T>& v) {
  return seq._length == v.size() &&
         (v.empty() || std::memcmp(seq._buffer, v.data(), v.size() * sizeof(T)) == 0);
}

bool str_same(const char* c, const std::string& s) {
  return c != nullptr && s == c;
}

// ---------------------------------------------------------------- C <-> C++

void to_c(std_msgs_msg_dds__Header_& c, const std_msgs::msg::Header& m, Arena&) {
  c.stamp.sec = m.stamp.sec;
  c.stamp.nanosec = m.stamp.nanosec;
  c.frame_id = cstr(m.frame_id);
}
bool same(const std_msgs_msg_dds__Header_& c, const std_msgs::msg::Header& m) {
  return c.stamp.sec == m.stamp.sec && c.stamp.nanosec == m.stamp.nanosec &&
         str_same(c.frame_id, m.frame_id);
}

void to_c(geometry_msgs_msg_dds__Point_& c, const geometry_msgs::msg::Point& m, Arena&) {
  c.x = m.x;
  c.y = m.y;
  c.z = m.z;
}
bool same(const geometry_msgs_msg_dds__Point_& c, const geometry_msgs::msg::Point& m) {
  return c.x == m.x && c.y == m.y && c.z == m.z;
}
void to_c(geometry_msgs_msg_dds__Quaternion_& c, const geometry_msgs::msg::Quaternion& m) {
  c.x = m.x;
  c.y = m.y;
  c.z = m.z;
  c.w = m.w;
}
bool same(const geometry_msgs_msg_dds__Quaternion_& c, const geometry_msgs::msg::Quaternion& m) {
  return c.x == m.x && c.y == m.y && c.z == m.z && c.w == m.w;
}

void to_c(geometry_msgs_msg_dds__TransformStamped_& c,
          const geometry_msgs::msg::TransformStamped& m, Arena& a) {
  to_c(c.header, m.header, a);
  c.child_frame_id = cstr(m.child_frame_id);
  c.transform.translation.x = m.transform.translation.x;
  c.transform.translation.y = m.transform.translation.y;
  c.transform.translation.z = m.transform.translation.z;
  to_c(c.transform.rotation, m.transform.rotation);
}
bool same(const geometry_msgs_msg_dds__TransformStamped_& c,
          const geometry_msgs::msg::TransformStamped& m) {
  return same(c.header, m.header) && str_same(c.child_frame_id, m.child_frame_id) &&
         c.transform.translation.x == m.transform.translation.x &&
         c.transform.translation.y == m.transform.translation.y &&
         c.transform.translation.z == m.transform.translation.z &&
         same(c.transform.rotation, m.transform.rotation);
}

void to_c(tf2_msgs_msg_dds__TFMessage_& c, const tf2_msgs::msg::TFMessage& m, Arena& a) {
  seq_to_c<decltype(c.transforms), geometry_msgs_msg_dds__TransformStamped_>(
      c.transforms, m.transforms, a, [](auto& cc, const auto& mm, Arena& aa) { to_c(cc, mm, aa); });
}
bool same(const tf2_msgs_msg_dds__TFMessage_& c, const tf2_msgs::msg::TFMessage& m) {
  return seq_same(c.transforms, m.transforms,
                  [](const auto& cc, const auto& mm) { return same(cc, mm); });
}

void to_c(sensor_msgs_msg_dds__Image_& c, const sensor_msgs::msg::Image& m, Arena& a) {
  to_c(c.header, m.header, a);
  c.height = m.height;
  c.width = m.width;
  c.encoding = cstr(m.encoding);
  c.is_bigendian = m.is_bigendian;
  c.step = m.step;
  bytes_to_c(c.data, m.data);
}
bool same(const sensor_msgs_msg_dds__Image_& c, const sensor_msgs::msg::Image& m) {
  return same(c.header, m.header) && c.height == m.height && c.width == m.width &&
         str_same(c.encoding, m.encoding) && c.is_bigendian == m.is_bigendian && c.step == m.step &&
         bytes_same(c.data, m.data);
}

void to_c(sensor_msgs_msg_dds__CameraInfo_& c, const sensor_msgs::msg::CameraInfo& m, Arena& a) {
  to_c(c.header, m.header, a);
  c.height = m.height;
  c.width = m.width;
  c.distortion_model = cstr(m.distortion_model);
  bytes_to_c(c.d, m.d);
  std::memcpy(c.k, m.k.data(), sizeof(c.k));
  std::memcpy(c.r, m.r.data(), sizeof(c.r));
  std::memcpy(c.p, m.p.data(), sizeof(c.p));
  c.binning_x = m.binning_x;
  c.binning_y = m.binning_y;
  c.roi.x_offset = m.roi.x_offset;
  c.roi.y_offset = m.roi.y_offset;
  c.roi.height = m.roi.height;
  c.roi.width = m.roi.width;
  c.roi.do_rectify = m.roi.do_rectify;
}
bool same(const sensor_msgs_msg_dds__CameraInfo_& c, const sensor_msgs::msg::CameraInfo& m) {
  return same(c.header, m.header) && c.height == m.height && c.width == m.width &&
         str_same(c.distortion_model, m.distortion_model) && bytes_same(c.d, m.d) &&
         std::memcmp(c.k, m.k.data(), sizeof(c.k)) == 0 &&
         std::memcmp(c.r, m.r.data(), sizeof(c.r)) == 0 &&
         std::memcmp(c.p, m.p.data(), sizeof(c.p)) == 0 && c.binning_x == m.binning_x &&
         c.binning_y == m.binning_y && c.roi.x_offset == m.roi.x_offset &&
         c.roi.y_offset == m.roi.y_offset && c.roi.height == m.roi.height &&
         c.roi.width == m.roi.width && c.roi.do_rectify == m.roi.do_rectify;
}

void to_c(sensor_msgs_msg_dds__PointCloud2_& c, const sensor_msgs::msg::PointCloud2& m, Arena& a) {
  to_c(c.header, m.header, a);
  c.height = m.height;
  c.width = m.width;
  seq_to_c<decltype(c.fields), sensor_msgs_msg_dds__PointField_>(
      c.fields, m.fields, a, [](auto& cc, const auto& mm, Arena&) {
        cc.name = cstr(mm.name);
        cc.offset = mm.offset;
        cc.datatype = mm.datatype;
        cc.count = mm.count;
      });
  c.is_bigendian = m.is_bigendian;
  c.point_step = m.point_step;
  c.row_step = m.row_step;
  bytes_to_c(c.data, m.data);
  c.is_dense = m.is_dense;
}
bool same(const sensor_msgs_msg_dds__PointCloud2_& c, const sensor_msgs::msg::PointCloud2& m) {
  return same(c.header, m.header) && c.height == m.height && c.width == m.width &&
         seq_same(c.fields, m.fields,
                  [](const auto& cc, const auto& mm) {
                    return str_same(cc.name, mm.name) && cc.offset == mm.offset &&
                           cc.datatype == mm.datatype && cc.count == mm.count;
                  }) &&
         c.is_bigendian == m.is_bigendian && c.point_step == m.point_step &&
         c.row_step == m.row_step && bytes_same(c.data, m.data) && c.is_dense == m.is_dense;
}

void to_c(std_msgs_msg_dds__ColorRGBA_& c, const std_msgs::msg::ColorRGBA& m, Arena&) {
  c.r = m.r;
  c.g = m.g;
  c.b = m.b;
  c.a = m.a;
}
bool same(const std_msgs_msg_dds__ColorRGBA_& c, const std_msgs::msg::ColorRGBA& m) {
  return c.r == m.r && c.g == m.g && c.b == m.b && c.a == m.a;
}

void to_c(visualization_msgs_msg_dds__Marker_& c, const visualization_msgs::msg::Marker& m,
          Arena& a) {
  to_c(c.header, m.header, a);
  c.ns = cstr(m.ns);
  c.id = m.id;
  c.type = m.type;
  c.action = m.action;
  to_c(c.pose.position, m.pose.position, a);
  to_c(c.pose.orientation, m.pose.orientation);
  c.scale.x = m.scale.x;
  c.scale.y = m.scale.y;
  c.scale.z = m.scale.z;
  to_c(c.color, m.color, a);
  c.lifetime.sec = m.lifetime.sec;
  c.lifetime.nanosec = m.lifetime.nanosec;
  c.frame_locked = m.frame_locked;
  seq_to_c<decltype(c.points), geometry_msgs_msg_dds__Point_>(
      c.points, m.points, a, [](auto& cc, const auto& mm, Arena& aa) { to_c(cc, mm, aa); });
  seq_to_c<decltype(c.colors), std_msgs_msg_dds__ColorRGBA_>(
      c.colors, m.colors, a, [](auto& cc, const auto& mm, Arena& aa) { to_c(cc, mm, aa); });
  c.texture_resource = cstr(m.texture_resource);
  to_c(c.texture.header, m.texture.header, a);
  c.texture.format = cstr(m.texture.format);
  bytes_to_c(c.texture.data, m.texture.data);
  seq_to_c<decltype(c.uv_coordinates), visualization_msgs_msg_dds__UVCoordinate_>(
      c.uv_coordinates, m.uv_coordinates, a, [](auto& cc, const auto& mm, Arena&) {
        cc.u = mm.u;
        cc.v = mm.v;
      });
  c.text = cstr(m.text);
  c.mesh_resource = cstr(m.mesh_resource);
  c.mesh_file.filename = cstr(m.mesh_file.filename);
  bytes_to_c(c.mesh_file.data, m.mesh_file.data);
  c.mesh_use_embedded_materials = m.mesh_use_embedded_materials;
}
bool same(const visualization_msgs_msg_dds__Marker_& c, const visualization_msgs::msg::Marker& m) {
  return same(c.header, m.header) && str_same(c.ns, m.ns) && c.id == m.id && c.type == m.type &&
         c.action == m.action && same(c.pose.position, m.pose.position) &&
         same(c.pose.orientation, m.pose.orientation) && c.scale.x == m.scale.x &&
         c.scale.y == m.scale.y && c.scale.z == m.scale.z && same(c.color, m.color) &&
         c.lifetime.sec == m.lifetime.sec && c.lifetime.nanosec == m.lifetime.nanosec &&
         c.frame_locked == m.frame_locked &&
         seq_same(c.points, m.points,
                  [](const auto& cc, const auto& mm) { return same(cc, mm); }) &&
         seq_same(c.colors, m.colors,
                  [](const auto& cc, const auto& mm) { return same(cc, mm); }) &&
         str_same(c.texture_resource, m.texture_resource) &&
         same(c.texture.header, m.texture.header) && str_same(c.texture.format, m.texture.format) &&
         bytes_same(c.texture.data, m.texture.data) &&
         seq_same(c.uv_coordinates, m.uv_coordinates,
                  [](const auto& cc, const auto& mm) { return cc.u == mm.u && cc.v == mm.v; }) &&
         str_same(c.text, m.text) && str_same(c.mesh_resource, m.mesh_resource) &&
         str_same(c.mesh_file.filename, m.mesh_file.filename) &&
         bytes_same(c.mesh_file.data, m.mesh_file.data) &&
         c.mesh_use_embedded_materials == m.mesh_use_embedded_materials;
}

void to_c(visualization_msgs_msg_dds__MarkerArray_& c,
          const visualization_msgs::msg::MarkerArray& m, Arena& a) {
  seq_to_c<decltype(c.markers), visualization_msgs_msg_dds__Marker_>(
      c.markers, m.markers, a, [](auto& cc, const auto& mm, Arena& aa) { to_c(cc, mm, aa); });
}
bool same(const visualization_msgs_msg_dds__MarkerArray_& c,
          const visualization_msgs::msg::MarkerArray& m) {
  return seq_same(c.markers, m.markers,
                  [](const auto& cc, const auto& mm) { return same(cc, mm); });
}

// ---------------------------------------------------------------- samples

std_msgs::msg::Header header(const char* frame, int32_t sec) {
  std_msgs::msg::Header h;
  h.frame_id = frame;
  h.stamp.sec = sec;
  h.stamp.nanosec = 123456789u;
  return h;
}

sensor_msgs::msg::Image sample_image() {
  sensor_msgs::msg::Image m;
  m.header = header("camera_color_optical_frame", 11);
  m.height = 48;
  m.width = 64;
  m.encoding = "bgr8";
  m.is_bigendian = 0;
  m.step = 64 * 3;
  m.data.resize(48 * 64 * 3);
  for (size_t i = 0; i < m.data.size(); ++i) {
    m.data[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  return m;
}

sensor_msgs::msg::CameraInfo sample_camera_info() {
  sensor_msgs::msg::CameraInfo m;
  m.header = header("camera_color_optical_frame", 12);
  m.height = 720;
  m.width = 1280;
  m.distortion_model = "plumb_bob";
  m.d = {0.11, -0.25, 0.001, -0.002, 0.09};
  m.k = {910.5, 0, 640.25, 0, 909.75, 360.5, 0, 0, 1};
  m.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  m.p = {910.5, 0, 640.25, 0, 0, 909.75, 360.5, 0, 0, 0, 1, 0};
  m.binning_x = 1;
  m.binning_y = 2;
  m.roi.x_offset = 4;
  m.roi.width = 100;
  m.roi.do_rectify = true;
  return m;
}

sensor_msgs::msg::PointCloud2 sample_cloud() {
  sensor_msgs::msg::PointCloud2 m;
  m.header = header("arm_base_link", 13);
  m.height = 1;
  m.width = 5;
  const char* names[] = {"x", "y", "z"};
  for (uint32_t i = 0; i < 3; ++i) {
    sensor_msgs::msg::PointField f;
    f.name = names[i];
    f.offset = 4 * i;
    f.datatype = sensor_msgs::msg::PointField::FLOAT32;
    f.count = 1;
    m.fields.push_back(f);
  }
  m.is_bigendian = false;
  m.point_step = 12;
  m.row_step = 60;
  m.data.resize(60);
  for (size_t i = 0; i < m.data.size(); ++i) {
    m.data[i] = static_cast<uint8_t>(255 - i);
  }
  m.is_dense = true;
  return m;
}

tf2_msgs::msg::TFMessage sample_tf() {
  tf2_msgs::msg::TFMessage m;
  for (int i = 0; i < 2; ++i) {
    geometry_msgs::msg::TransformStamped t;
    t.header = header("arm_base_link", 14 + i);
    t.child_frame_id = i == 0 ? "camera_link" : "camera_color_optical_frame";
    t.transform.translation.x = 0.1 + i;
    t.transform.translation.z = -0.35;
    t.transform.rotation.x = 0.5;
    t.transform.rotation.y = -0.5;
    t.transform.rotation.z = 0.5;
    t.transform.rotation.w = -0.5;
    m.transforms.push_back(t);
  }
  return m;
}

visualization_msgs::msg::MarkerArray sample_markers() {
  visualization_msgs::msg::MarkerArray a;
  for (int i = 0; i < 2; ++i) {
    visualization_msgs::msg::Marker m;
    m.header = header("arm_base_link", 20 + i);
    m.ns = "trash_obb";
    m.id = i;
    m.type =
        i == 0 ? visualization_msgs::msg::Marker::CUBE : visualization_msgs::msg::Marker::ARROW;
    m.action = visualization_msgs::msg::Marker::ADD;
    m.pose.position.x = 0.4;
    m.pose.orientation.w = 0.8;
    m.pose.orientation.z = 0.6;
    m.scale.x = 0.05;
    m.scale.y = 0.02;
    m.color.g = 1.0F;
    m.color.a = 0.7F;
    m.lifetime.sec = 1;
    m.frame_locked = i == 1;
    for (int k = 0; k < i + 1; ++k) {
      geometry_msgs::msg::Point p;
      p.x = k;
      p.y = -k;
      m.points.push_back(p);
      std_msgs::msg::ColorRGBA c;
      c.b = 0.25F * static_cast<float>(k);
      m.colors.push_back(c);
    }
    m.texture_resource = i == 1 ? "file:///tex.png" : "";
    m.texture.format = "png";
    m.texture.data = {9, 8, 7};
    visualization_msgs::msg::UVCoordinate uv;
    uv.u = 0.5F;
    uv.v = 0.25F;
    m.uv_coordinates.push_back(uv);
    m.text = "class 3";
    m.mesh_resource = "package://x/m.dae";
    m.mesh_file.filename = "m.dae";
    m.mesh_file.data = {1, 2};
    m.mesh_use_embedded_materials = i == 0;
    a.markers.push_back(m);
  }
  return a;
}

// ---------------------------------------------------------------- fixture

class InteropTest : public ::testing::Test {
protected:
  void SetUp() override {
    rclcpp::init(0, nullptr);
    node_ = rclcpp::Node::make_shared("interop");
    // A participant of its own, as a foreign application would have.
    const char* env = std::getenv("ROS_DOMAIN_ID");
    raw_pp_ = dds_create_participant(env ? std::atoi(env) : 0, nullptr, nullptr);
    ASSERT_GT(raw_pp_, 0);
    qos_ = dds_create_qos();
    dds_qset_reliability(qos_, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_history(qos_, DDS_HISTORY_KEEP_LAST, 10);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos_, 1, &xcdr1);
  }
  void TearDown() override {
    dds_delete_qos(qos_);
    dds_delete(raw_pp_);
    node_.reset();
    rclcpp::shutdown();
  }

  static bool eventually(const std::function<bool()>& cond) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      if (cond()) {
        return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return cond();
  }

  // Raw C writer -> our subscription.
  template <class Msg, class CType>
  void raw_to_ours(const dds_topic_descriptor_t* desc, const std::string& topic, const Msg& msg) {
    std::mutex m;
    std::vector<Msg> got;
    auto sub = node_->create_subscription<Msg>(topic, rclcpp::QoS(10), [&](const Msg& in) {
      std::lock_guard<std::mutex> lock(m);
      got.push_back(in);
    });
    const dds_entity_t tp =
        dds_create_topic(raw_pp_, desc, ("rt" + topic).c_str(), nullptr, nullptr);
    ASSERT_GT(tp, 0);
    const dds_entity_t wr = dds_create_writer(raw_pp_, tp, qos_, nullptr);
    ASSERT_GT(wr, 0);
    ASSERT_TRUE(eventually([&] {
      dds_publication_matched_status_t st;
      return dds_get_publication_matched_status(wr, &st) == 0 && st.current_count > 0;
    })) << "raw writer never matched our reader on "
        << topic;
    CType c{};
    Arena arena;
    to_c(c, msg, arena);
    ASSERT_EQ(dds_write(wr, &c), DDS_RETCODE_OK);
    rclcpp::executors::SingleThreadedExecutor exec;
    exec.add_node(node_);
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard<std::mutex> lock(m);
        if (!got.empty()) {
          break;
        }
      }
      exec.spin_once(50ms);
    }
    exec.remove_node(node_);
    dds_delete(wr);
    dds_delete(tp);
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(got.size(), 1u) << topic;
    EXPECT_TRUE(got[0] == msg) << "our subscription decoded the raw sample differently on "
                               << topic;
  }

  // Our publisher -> raw C reader.
  template <class Msg, class CType>
  void ours_to_raw(const dds_topic_descriptor_t* desc, const std::string& topic, const Msg& msg) {
    auto pub = node_->create_publisher<Msg>(topic, rclcpp::QoS(10));
    const dds_entity_t tp =
        dds_create_topic(raw_pp_, desc, ("rt" + topic).c_str(), nullptr, nullptr);
    ASSERT_GT(tp, 0);
    const dds_entity_t rd = dds_create_reader(raw_pp_, tp, qos_, nullptr);
    ASSERT_GT(rd, 0);
    ASSERT_TRUE(eventually([&] { return pub->get_subscription_count() > 0; }))
        << "our writer never matched the raw reader on " << topic;
    pub->publish(msg);
    void* samples[1] = {nullptr};
    dds_sample_info_t info;
    bool ok = false;
    ASSERT_TRUE(eventually([&] {
      const dds_return_t n = dds_take(rd, samples, &info, 1, 1);
      ok = n == 1 && info.valid_data;
      return n == 1;
    }));
    ASSERT_TRUE(ok);
    EXPECT_TRUE(same(*static_cast<const CType*>(samples[0]), msg))
        << "the raw reader decoded our sample differently on " << topic;
    dds_return_loan(rd, samples, 1);
    dds_delete(rd);
    dds_delete(tp);
  }

  rclcpp::Node::SharedPtr node_;
  dds_entity_t raw_pp_{0};
  dds_qos_t* qos_{nullptr};
};

TEST_F(InteropTest, Image) {
  raw_to_ours<sensor_msgs::msg::Image, sensor_msgs_msg_dds__Image_>(
      &sensor_msgs_msg_dds__Image__desc, "/interop/image_in", sample_image());
  ours_to_raw<sensor_msgs::msg::Image, sensor_msgs_msg_dds__Image_>(
      &sensor_msgs_msg_dds__Image__desc, "/interop/image_out", sample_image());
}

TEST_F(InteropTest, CameraInfo) {
  raw_to_ours<sensor_msgs::msg::CameraInfo, sensor_msgs_msg_dds__CameraInfo_>(
      &sensor_msgs_msg_dds__CameraInfo__desc, "/interop/info_in", sample_camera_info());
  ours_to_raw<sensor_msgs::msg::CameraInfo, sensor_msgs_msg_dds__CameraInfo_>(
      &sensor_msgs_msg_dds__CameraInfo__desc, "/interop/info_out", sample_camera_info());
}

TEST_F(InteropTest, PointCloud2) {
  raw_to_ours<sensor_msgs::msg::PointCloud2, sensor_msgs_msg_dds__PointCloud2_>(
      &sensor_msgs_msg_dds__PointCloud2__desc, "/interop/cloud_in", sample_cloud());
  ours_to_raw<sensor_msgs::msg::PointCloud2, sensor_msgs_msg_dds__PointCloud2_>(
      &sensor_msgs_msg_dds__PointCloud2__desc, "/interop/cloud_out", sample_cloud());
}

TEST_F(InteropTest, TransformStampedAndTFMessage) {
  raw_to_ours<geometry_msgs::msg::TransformStamped, geometry_msgs_msg_dds__TransformStamped_>(
      &geometry_msgs_msg_dds__TransformStamped__desc, "/interop/ts_in", sample_tf().transforms[1]);
  ours_to_raw<geometry_msgs::msg::TransformStamped, geometry_msgs_msg_dds__TransformStamped_>(
      &geometry_msgs_msg_dds__TransformStamped__desc, "/interop/ts_out", sample_tf().transforms[0]);
  raw_to_ours<tf2_msgs::msg::TFMessage, tf2_msgs_msg_dds__TFMessage_>(
      &tf2_msgs_msg_dds__TFMessage__desc, "/interop/tf_in", sample_tf());
  ours_to_raw<tf2_msgs::msg::TFMessage, tf2_msgs_msg_dds__TFMessage_>(
      &tf2_msgs_msg_dds__TFMessage__desc, "/interop/tf_out", sample_tf());
}

TEST_F(InteropTest, MarkerArray) {
  raw_to_ours<visualization_msgs::msg::MarkerArray, visualization_msgs_msg_dds__MarkerArray_>(
      &visualization_msgs_msg_dds__MarkerArray__desc, "/interop/markers_in", sample_markers());
  ours_to_raw<visualization_msgs::msg::MarkerArray, visualization_msgs_msg_dds__MarkerArray_>(
      &visualization_msgs_msg_dds__MarkerArray__desc, "/interop/markers_out", sample_markers());
}

// ---------------------------------------------------------------- services

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;

// A foreign service endpoint pair as rmw_cyclonedds creates it.
struct RawEndpoints {
  RawEndpoints(dds_entity_t pp, const std::string& service, bool as_client, const char* user_data) {
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_history(q, DDS_HISTORY_KEEP_LAST, 10);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(q, 1, &xcdr1);
    dds_qset_userdata(q, user_data, std::strlen(user_data));
    req_topic = dds_create_topic(pp, &moorwick_protocol_srv_dds__ArmTrashPose_Request__desc,
                                 ("rq" + service + "Request").c_str(), nullptr, nullptr);
    rep_topic = dds_create_topic(pp, &moorwick_protocol_srv_dds__ArmTrashPose_Response__desc,
                                 ("rr" + service + "Reply").c_str(), nullptr, nullptr);
    if (as_client) {
      writer = dds_create_writer(pp, req_topic, q, nullptr);
      reader = dds_create_reader(pp, rep_topic, q, nullptr);
    } else {
      reader = dds_create_reader(pp, req_topic, q, nullptr);
      writer = dds_create_writer(pp, rep_topic, q, nullptr);
    }
    dds_delete_qos(q);
  }
  ~RawEndpoints() {
    dds_delete(writer);
    dds_delete(reader);
    dds_delete(req_topic);
    dds_delete(rep_topic);
  }
  bool matched() const {
    dds_publication_matched_status_t w{};
    dds_subscription_matched_status_t r{};
    return dds_get_publication_matched_status(writer, &w) == 0 && w.current_count > 0 &&
           dds_get_subscription_matched_status(reader, &r) == 0 && r.current_count > 0;
  }
  dds_entity_t req_topic{0}, rep_topic{0}, writer{0}, reader{0};
};

TEST_F(InteropTest, OurServiceEchoesTheRequestHeaderToAForeignClient) {
  auto srv = node_->create_service<ArmTrashPose>(
      "/interop/detect", [](const std::shared_ptr<ArmTrashPose::Request> req,
                            std::shared_ptr<ArmTrashPose::Response> res) {
        res->trash_info = req->aim_trash_info;
        res->error_code = 102200000 + req->cmd;
        res->error_msg = "NONE";
      });
  rclcpp::executors::SingleThreadedExecutor exec;
  exec.add_node(node_);
  std::thread spin([&] { exec.spin(); });

  RawEndpoints client(raw_pp_, "/interop/detect", true, "clientid=foreign-1;");
  ASSERT_TRUE(eventually([&] { return client.matched(); }));
  moorwick_protocol_srv_dds__ArmTrashPose_Request_ req{};
  req.guid = 0x0102030405060708ull;
  req.seq = 77;
  req.cmd = 3;
  req.cam_choice = 1;
  req.aim_trash_info.class_id = 9;
  req.aim_trash_info.map_pose.position.x = 1.25;
  req.aim_trash_info.obb_size[2] = 0.5;
  ASSERT_EQ(dds_write(client.writer, &req), DDS_RETCODE_OK);

  void* samples[1] = {nullptr};
  dds_sample_info_t info;
  ASSERT_TRUE(eventually([&] { return dds_take(client.reader, samples, &info, 1, 1) == 1; }));
  const auto* rep =
      static_cast<const moorwick_protocol_srv_dds__ArmTrashPose_Response_*>(samples[0]);
  EXPECT_EQ(rep->guid, req.guid);
  EXPECT_EQ(rep->seq, 77);
  EXPECT_EQ(rep->error_code, 102200003);
  EXPECT_STREQ(rep->error_msg, "NONE");
  EXPECT_EQ(rep->trash_info.class_id, 9);
  EXPECT_EQ(rep->trash_info.map_pose.position.x, 1.25);
  EXPECT_EQ(rep->trash_info.map_pose.orientation.w, 0.0);  // as sent: the raw side left it 0
  EXPECT_EQ(rep->trash_info.obb_size[2], 0.5);
  dds_return_loan(client.reader, samples, 1);
  exec.cancel();
  spin.join();
}

TEST_F(InteropTest, OurClientKeepsOnlyRepliesCarryingItsOwnHeader) {
  RawEndpoints service(raw_pp_, "/interop/raw_detect", false, "serviceid=foreign-2;");
  auto client = node_->create_client<ArmTrashPose>("/interop/raw_detect");
  ASSERT_TRUE(client->wait_for_service(30s));
  auto req = std::make_shared<ArmTrashPose::Request>();
  req->cmd = 12;
  auto fut = client->async_send_request(req);

  void* samples[1] = {nullptr};
  dds_sample_info_t info;
  ASSERT_TRUE(eventually([&] { return dds_take(service.reader, samples, &info, 1, 1) == 1; }));
  const auto got =
      *static_cast<const moorwick_protocol_srv_dds__ArmTrashPose_Request_*>(samples[0]);
  dds_return_loan(service.reader, samples, 1);
  EXPECT_EQ(got.cmd, 12);
  EXPECT_EQ(got.seq, fut.request_id);

  // First a reply for another client (same sequence number), then ours.
  moorwick_protocol_srv_dds__ArmTrashPose_Response_ other{};
  other.guid = got.guid + 1;
  other.seq = got.seq;
  other.error_code = -1;
  other.error_msg = const_cast<char*>("not yours");
  ASSERT_EQ(dds_write(service.writer, &other), DDS_RETCODE_OK);
  moorwick_protocol_srv_dds__ArmTrashPose_Response_ mine{};
  mine.guid = got.guid;
  mine.seq = got.seq;
  mine.error_code = 102200010;
  mine.error_msg = const_cast<char*>("NO_TARGET_TRASH_CHOOSED");
  ASSERT_EQ(dds_write(service.writer, &mine), DDS_RETCODE_OK);

  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, fut, 30s), rclcpp::FutureReturnCode::SUCCESS);
  const auto res = fut.get();
  EXPECT_EQ(res->error_code, 102200010);
  EXPECT_EQ(res->error_msg, "NO_TARGET_TRASH_CHOOSED");
}

}  // namespace
