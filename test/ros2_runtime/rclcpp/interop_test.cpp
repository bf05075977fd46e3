// Interop with types that do not come from our generator: idlc compiles IDL
// written by hand from the Humble definitions (idl/humble_types.idl). Samples
// go from a raw Cyclone C writer to our subscriptions and from our
// publishers to a raw Cyclone C reader, and must arrive field for field.
#include <dds/dds.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "humble_types.h"
#include "moorwick_protocol.h"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "moorwick_test/process.hpp"
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

// Copies between an idlc sample and our message, one function per type for
// both directions: with an arena it fills the C sample (strings point into the
// message), without one it fills the message.
struct Io {
  Arena* to_c;
};

template <class C, class M>
void io(Io& d, C& c, M& m) {
  if (d.to_c != nullptr) {
    c = static_cast<C>(m);
  } else {
    m = static_cast<M>(c);
  }
}

void io(Io& d, char*& c, std::string& m) {
  if (d.to_c != nullptr) {
    c = const_cast<char*>(m.c_str());
  } else {
    m = c != nullptr ? c : "<null>";
  }
}

template <class T, size_t N>
void io(Io& d, T (&c)[N], std::array<T, N>& m) {
  for (size_t i = 0; i < N; ++i) {
    io(d, c[i], m[i]);
  }
}

template <class Seq, class T>
void io(Io& d, Seq& c, std::vector<T>& m) {
  if (d.to_c != nullptr) {
    c._maximum = c._length = static_cast<uint32_t>(m.size());
    c._buffer = d.to_c->alloc<std::remove_pointer_t<decltype(c._buffer)>>(m.size());
    c._release = false;
  } else {
    m.resize(c._length);
  }
  for (size_t i = 0; i < m.size(); ++i) {
    io(d, c._buffer[i], m[i]);
  }
}

template <class C, class M>
void io_time(Io& d, C& c, M& m) {
  io(d, c.sec, m.sec);
  io(d, c.nanosec, m.nanosec);
}

template <class C, class M>
void io_xyz(Io& d, C& c, M& m) {
  io(d, c.x, m.x);
  io(d, c.y, m.y);
  io(d, c.z, m.z);
}

void io(Io& d, std_msgs_msg_dds__Header_& c, std_msgs::msg::Header& m) {
  io_time(d, c.stamp, m.stamp);
  io(d, c.frame_id, m.frame_id);
}

void io(Io& d, geometry_msgs_msg_dds__Point_& c, geometry_msgs::msg::Point& m) {
  io_xyz(d, c, m);
}

void io(Io& d, geometry_msgs_msg_dds__Quaternion_& c, geometry_msgs::msg::Quaternion& m) {
  io_xyz(d, c, m);
  io(d, c.w, m.w);
}

void io(Io& d, geometry_msgs_msg_dds__TransformStamped_& c,
        geometry_msgs::msg::TransformStamped& m) {
  io(d, c.header, m.header);
  io(d, c.child_frame_id, m.child_frame_id);
  io_xyz(d, c.transform.translation, m.transform.translation);
  io(d, c.transform.rotation, m.transform.rotation);
}

void io(Io& d, tf2_msgs_msg_dds__TFMessage_& c, tf2_msgs::msg::TFMessage& m) {
  io(d, c.transforms, m.transforms);
}

void io(Io& d, sensor_msgs_msg_dds__Image_& c, sensor_msgs::msg::Image& m) {
  io(d, c.header, m.header);
  io(d, c.height, m.height);
  io(d, c.width, m.width);
  io(d, c.encoding, m.encoding);
  io(d, c.is_bigendian, m.is_bigendian);
  io(d, c.step, m.step);
  io(d, c.data, m.data);
}

void io(Io& d, sensor_msgs_msg_dds__CameraInfo_& c, sensor_msgs::msg::CameraInfo& m) {
  io(d, c.header, m.header);
  io(d, c.height, m.height);
  io(d, c.width, m.width);
  io(d, c.distortion_model, m.distortion_model);
  io(d, c.d, m.d);
  io(d, c.k, m.k);
  io(d, c.r, m.r);
  io(d, c.p, m.p);
  io(d, c.binning_x, m.binning_x);
  io(d, c.binning_y, m.binning_y);
  io(d, c.roi.x_offset, m.roi.x_offset);
  io(d, c.roi.y_offset, m.roi.y_offset);
  io(d, c.roi.height, m.roi.height);
  io(d, c.roi.width, m.roi.width);
  io(d, c.roi.do_rectify, m.roi.do_rectify);
}

void io(Io& d, sensor_msgs_msg_dds__PointField_& c, sensor_msgs::msg::PointField& m) {
  io(d, c.name, m.name);
  io(d, c.offset, m.offset);
  io(d, c.datatype, m.datatype);
  io(d, c.count, m.count);
}

void io(Io& d, sensor_msgs_msg_dds__PointCloud2_& c, sensor_msgs::msg::PointCloud2& m) {
  io(d, c.header, m.header);
  io(d, c.height, m.height);
  io(d, c.width, m.width);
  io(d, c.fields, m.fields);
  io(d, c.is_bigendian, m.is_bigendian);
  io(d, c.point_step, m.point_step);
  io(d, c.row_step, m.row_step);
  io(d, c.data, m.data);
  io(d, c.is_dense, m.is_dense);
}

void io(Io& d, std_msgs_msg_dds__ColorRGBA_& c, std_msgs::msg::ColorRGBA& m) {
  io(d, c.r, m.r);
  io(d, c.g, m.g);
  io(d, c.b, m.b);
  io(d, c.a, m.a);
}

void io(Io& d, visualization_msgs_msg_dds__UVCoordinate_& c,
        visualization_msgs::msg::UVCoordinate& m) {
  io(d, c.u, m.u);
  io(d, c.v, m.v);
}

void io(Io& d, visualization_msgs_msg_dds__Marker_& c, visualization_msgs::msg::Marker& m) {
  io(d, c.header, m.header);
  io(d, c.ns, m.ns);
  io(d, c.id, m.id);
  io(d, c.type, m.type);
  io(d, c.action, m.action);
  io(d, c.pose.position, m.pose.position);
  io(d, c.pose.orientation, m.pose.orientation);
  io_xyz(d, c.scale, m.scale);
  io(d, c.color, m.color);
  io_time(d, c.lifetime, m.lifetime);
  io(d, c.frame_locked, m.frame_locked);
  io(d, c.points, m.points);
  io(d, c.colors, m.colors);
  io(d, c.texture_resource, m.texture_resource);
  io(d, c.texture.header, m.texture.header);
  io(d, c.texture.format, m.texture.format);
  io(d, c.texture.data, m.texture.data);
  io(d, c.uv_coordinates, m.uv_coordinates);
  io(d, c.text, m.text);
  io(d, c.mesh_resource, m.mesh_resource);
  io(d, c.mesh_file.filename, m.mesh_file.filename);
  io(d, c.mesh_file.data, m.mesh_file.data);
  io(d, c.mesh_use_embedded_materials, m.mesh_use_embedded_materials);
}

void io(Io& d, visualization_msgs_msg_dds__MarkerArray_& c,
        visualization_msgs::msg::MarkerArray& m) {
  io(d, c.markers, m.markers);
}

// ---------------------------------------------------------------- samples

std_msgs::msg::Header header(const char* frame, int32_t sec) {
  return {{sec, 123456789u}, frame};
}

std::vector<uint8_t> bytes(size_t n, int mul, int add) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>(static_cast<int>(i) * mul + add);
  }
  return v;
}

sensor_msgs::msg::Image sample_image() {
  return {header("camera_color_optical_frame", 11),
          48,
          64,
          "bgr8",
          0,
          64 * 3,
          bytes(48 * 64 * 3, 7, 3)};
}

sensor_msgs::msg::CameraInfo sample_camera_info() {
  return {header("camera_color_optical_frame", 12),
          720,
          1280,
          "plumb_bob",
          {0.11, -0.25, 0.001, -0.002, 0.09},
          {910.5, 0, 640.25, 0, 909.75, 360.5, 0, 0, 1},
          {1, 0, 0, 0, 1, 0, 0, 0, 1},
          {910.5, 0, 640.25, 0, 0, 909.75, 360.5, 0, 0, 0, 1, 0},
          1,
          2,
          {4, 0, 0, 100, true}};
}

sensor_msgs::msg::PointCloud2 sample_cloud() {
  const uint8_t f32 = sensor_msgs::msg::PointField::FLOAT32;
  return {header("arm_base_link", 13),
          1,
          5,
          {{"x", 0, f32, 1}, {"y", 4, f32, 1}, {"z", 8, f32, 1}},
          false,
          12,
          60,
          bytes(60, -1, 255),
          true};
}

tf2_msgs::msg::TFMessage sample_tf() {
  tf2_msgs::msg::TFMessage m;
  for (int i = 0; i < 2; ++i) {
    m.transforms.push_back({header("arm_base_link", 14 + i),
                            i == 0 ? "camera_link" : "camera_color_optical_frame",
                            {{0.1 + i, 0.0, -0.35}, {0.5, -0.5, 0.5, -0.5}}});
  }
  return m;
}

visualization_msgs::msg::MarkerArray sample_markers() {
  using visualization_msgs::msg::Marker;
  visualization_msgs::msg::MarkerArray a;
  for (int i = 0; i < 2; ++i) {
    Marker m{header("arm_base_link", 20 + i),
             "trash_obb",
             i,
             i == 0 ? Marker::CUBE : Marker::ARROW,
             Marker::ADD,
             {{0.4, 0.0, 0.0}, {0.0, 0.0, 0.6, 0.8}},
             {0.05, 0.02, 0.0},
             {0.0F, 1.0F, 0.0F, 0.7F},
             {1, 0},
             i == 1,
             {},
             {},
             i == 1 ? "file:///tex.png" : "",
             {{}, "png", {9, 8, 7}},
             {{0.5F, 0.25F}},
             "class 3",
             "package://x/m.dae",
             {"m.dae", {1, 2}},
             i == 0};
    for (int k = 0; k < i + 1; ++k) {
      m.points.push_back({static_cast<double>(k), static_cast<double>(-k), 0.0});
      m.colors.push_back({0.0F, 0.0F, 0.25F * static_cast<float>(k), 0.0F});
    }
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
    const char* env = std::getenv("ROS_DOMAIN_ID");  // NOLINT(concurrency-mt-unsafe)
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
    return moorwick_test::WaitFor(cond, 30s);
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
    Io d{&arena};
    Msg copy = msg;
    io(d, c, copy);
    ASSERT_EQ(dds_write(wr, &c), DDS_RETCODE_OK);
    rclcpp::executors::SingleThreadedExecutor exec;
    exec.add_node(node_);
    eventually([&] {
      exec.spin_once(50ms);
      std::lock_guard<std::mutex> lock(m);
      return !got.empty();
    });
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
    ASSERT_TRUE(eventually([&] { return dds_take(rd, samples, &info, 1, 1) == 1; }));
    ASSERT_TRUE(info.valid_data);
    Msg got;
    Io d{nullptr};
    io(d, *static_cast<CType*>(samples[0]), got);
    EXPECT_TRUE(got == msg) << "the raw reader decoded our sample differently on " << topic;
    dds_return_loan(rd, samples, 1);
    dds_delete(rd);
    dds_delete(tp);
  }

  template <class CType, class Msg>
  void both(const dds_topic_descriptor_t* desc, const std::string& name, const Msg& msg) {
    raw_to_ours<Msg, CType>(desc, "/interop/" + name + "_in", msg);
    ours_to_raw<Msg, CType>(desc, "/interop/" + name + "_out", msg);
  }

  rclcpp::Node::SharedPtr node_;
  dds_entity_t raw_pp_{0};
  dds_qos_t* qos_{nullptr};
};

TEST_F(InteropTest, MessagesCrossBothWaysFieldForField) {
  both<sensor_msgs_msg_dds__Image_>(&sensor_msgs_msg_dds__Image__desc, "image", sample_image());
  both<sensor_msgs_msg_dds__CameraInfo_>(&sensor_msgs_msg_dds__CameraInfo__desc, "info",
                                         sample_camera_info());
  both<sensor_msgs_msg_dds__PointCloud2_>(&sensor_msgs_msg_dds__PointCloud2__desc, "cloud",
                                          sample_cloud());
  both<tf2_msgs_msg_dds__TFMessage_>(&tf2_msgs_msg_dds__TFMessage__desc, "tf", sample_tf());
  both<visualization_msgs_msg_dds__MarkerArray_>(&visualization_msgs_msg_dds__MarkerArray__desc,
                                                 "markers", sample_markers());
}

// ---------------------------------------------------------------- services

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;

// A foreign service endpoint pair as rmw_cyclonedds creates it.
struct RawEndpoints {
  RawEndpoints(dds_entity_t pp, const dds_qos_t* base, const std::string& service, bool as_client,
               const char* user_data) {
    dds_qos_t* q = dds_create_qos();
    dds_copy_qos(q, base);
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
      "/interop/detect", [](const std::shared_ptr<ArmTrashPose::Request>& req,
                            const std::shared_ptr<ArmTrashPose::Response>& res) {
        res->trash_info = req->aim_trash_info;
        res->error_code = 102200000 + req->cmd;
        res->error_msg = "NONE";
      });
  rclcpp::executors::SingleThreadedExecutor exec;
  exec.add_node(node_);
  std::thread spin([&] { exec.spin(); });

  RawEndpoints client(raw_pp_, qos_, "/interop/detect", true, "clientid=foreign-1;");
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
  RawEndpoints service(raw_pp_, qos_, "/interop/raw_detect", false, "serviceid=foreign-2;");
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
