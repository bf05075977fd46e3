// Name rules and the QoS profiles with their DDS mapping.
#include <dds/dds.h>
#include <gtest/gtest.h>

#include <string>

#include "rclcpp/detail/names.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/qos.hpp"
#include "ros2_runtime/dds_bridge.hpp"

namespace {

using rclcpp::detail::resolve_name;

TEST(Names, ResolveOrReject) {
  struct Resolved {
    const char* name;
    const char* ns;
    const char* node;
    const char* expected;
  };
  const Resolved resolved[] = {
      {"chatter", "/", "talker", "/chatter"},
      {"chatter", "/robot", "talker", "/robot/chatter"},
      {"cam/image_raw", "/a/b", "n", "/a/b/cam/image_raw"},
      {"/tf_static", "/robot", "n", "/tf_static"},
      {"~/out", "/robot", "node", "/robot/node/out"},
      {"~/out", "/", "node", "/node/out"},
      {"~", "/robot", "node", "/robot/node"},
      {"{node}/state", "/robot", "arm", "/robot/arm/state"},
      {"moorwick_arm_trash_detect/grab_trash_cloud", "/", "cam1",
       "/moorwick_arm_trash_detect/grab_trash_cloud"},
  };
  for (const auto& c : resolved) {
    EXPECT_EQ(resolve_name(c.name, c.node, c.ns, false), c.expected) << c.name;
    EXPECT_EQ(resolve_name(c.name, c.node, c.ns, true), c.expected) << c.name;
  }
  for (const char* bad : {"", "a//b", "a/", "/", "1abc", "a/2b", "with space", "dash-ed", "~x",
                          "a/~", "{unknown}/x"}) {
    EXPECT_THROW(resolve_name(bad, "n", "/", false), rclcpp::exceptions::InvalidTopicNameError)
        << bad;
    EXPECT_THROW(resolve_name(bad, "n", "/", true), rclcpp::exceptions::InvalidServiceNameError)
        << bad;
  }
}

TEST(NodeNames, ValidAndInvalid) {
  for (const char* ok : {"cam_1", "moorwick_arm_trash_detect_node", "_x", "A"}) {
    EXPECT_NO_THROW(rclcpp::detail::validate_node_name(ok)) << ok;
  }
  for (const char* bad : {"", "1cam", "cam-1", "cam/x", "~", "a b"}) {
    EXPECT_THROW(rclcpp::detail::validate_node_name(bad), rclcpp::exceptions::InvalidNodeNameError)
        << bad;
  }
}

TEST(Namespaces, NormalisedOrRejected) {
  EXPECT_EQ(rclcpp::detail::normalize_namespace(""), "/");
  EXPECT_EQ(rclcpp::detail::normalize_namespace("/"), "/");
  EXPECT_EQ(rclcpp::detail::normalize_namespace("robot"), "/robot");
  EXPECT_EQ(rclcpp::detail::normalize_namespace("/a/b_2"), "/a/b_2");
  for (const char* bad : {"/a/", "/a//b", "/1a", "/a-b", "a b"}) {
    EXPECT_THROW(rclcpp::detail::normalize_namespace(bad),
                 rclcpp::exceptions::InvalidNamespaceError)
        << bad;
  }
}

struct DdsQos {
  explicit DdsQos(const rclcpp::QoS& q, const std::string& ud = "")
      : p(ros2_runtime::make_dds_qos(q.get_rmw_qos_profile(), ud)) {}
  ~DdsQos() { dds_delete_qos(p); }
  dds_qos_t* p;
};

struct MappingCase {
  const char* name;
  rclcpp::QoS qos;
  dds_history_kind_t history;
  int32_t depth;
  dds_reliability_kind_t reliability;
  dds_durability_kind_t durability;
};

TEST(QosMapping, HistoryReliabilityDurabilityAndRepresentation) {
  const MappingCase cases[] = {
      {"default", rclcpp::QoS(10), DDS_HISTORY_KEEP_LAST, 10, DDS_RELIABILITY_RELIABLE,
       DDS_DURABILITY_VOLATILE},
      {"sensor", rclcpp::SensorDataQoS(), DDS_HISTORY_KEEP_LAST, 5, DDS_RELIABILITY_BEST_EFFORT,
       DDS_DURABILITY_VOLATILE},
      {"depth 0", rclcpp::QoS(0), DDS_HISTORY_KEEP_LAST, 1, DDS_RELIABILITY_RELIABLE,
       DDS_DURABILITY_VOLATILE},
      {"keep all", rclcpp::QoS(rclcpp::KeepAll()), DDS_HISTORY_KEEP_ALL, DDS_LENGTH_UNLIMITED,
       DDS_RELIABILITY_RELIABLE, DDS_DURABILITY_VOLATILE},
      {"latched", rclcpp::QoS(1).transient_local(), DDS_HISTORY_KEEP_LAST, 1,
       DDS_RELIABILITY_RELIABLE, DDS_DURABILITY_TRANSIENT_LOCAL},
  };
  for (const auto& c : cases) {
    DdsQos q(c.qos);
    dds_history_kind_t hk;
    int32_t depth = -7;
    ASSERT_TRUE(dds_qget_history(q.p, &hk, &depth)) << c.name;
    EXPECT_EQ(hk, c.history) << c.name;
    EXPECT_EQ(depth, c.depth) << c.name;
    dds_reliability_kind_t rk;
    dds_duration_t blocking = 0;
    ASSERT_TRUE(dds_qget_reliability(q.p, &rk, &blocking)) << c.name;
    EXPECT_EQ(rk, c.reliability) << c.name;
    if (rk == DDS_RELIABILITY_RELIABLE) {
      EXPECT_EQ(blocking, DDS_INFINITY) << c.name;
    }
    dds_durability_kind_t dk;
    ASSERT_TRUE(dds_qget_durability(q.p, &dk)) << c.name;
    EXPECT_EQ(dk, c.durability) << c.name;
    dds_duration_t cleanup;
    dds_history_kind_t shk;
    int32_t sdepth, s1, s2, s3;
    const bool has_service =
        dds_qget_durability_service(q.p, &cleanup, &shk, &sdepth, &s1, &s2, &s3);
    EXPECT_EQ(has_service, c.durability == DDS_DURABILITY_TRANSIENT_LOCAL) << c.name;
    if (has_service) {
      EXPECT_EQ(shk, c.history) << c.name;
      EXPECT_EQ(sdepth, c.depth) << c.name;
    }
    bool autodispose = true;
    ASSERT_TRUE(dds_qget_writer_data_lifecycle(q.p, &autodispose));
    EXPECT_FALSE(autodispose) << c.name;
    uint32_t n = 0;
    dds_data_representation_id_t* reps = nullptr;
    ASSERT_TRUE(dds_qget_data_representation(q.p, &n, &reps));
    ASSERT_EQ(n, 1u) << c.name;
    EXPECT_EQ(reps[0], DDS_DATA_REPRESENTATION_XCDR1) << c.name;
    dds_free(reps);
  }
}

// rmw_cyclonedds peers tell service clients and servers apart by this user data.
TEST(QosMapping, UserDataIsCarried) {
  DdsQos q(rclcpp::QoS(1), "clientid=abc;");
  void* ud = nullptr;
  size_t sz = 0;
  ASSERT_TRUE(dds_qget_userdata(q.p, &ud, &sz));
  EXPECT_EQ(std::string(static_cast<char*>(ud), sz), "clientid=abc;");
  dds_free(ud);
}

}  // namespace
