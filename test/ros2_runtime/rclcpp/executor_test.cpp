// Nodes, callback groups and executors inside one process (DDS domain 11).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rmw_dds_common/msg/participant_entities_info.hpp"
#include "ros2_runtime/dds_bridge.hpp"
#include "std_msgs/msg/header.hpp"
#include "tf2_ros/buffer.h"

using namespace std::chrono_literals;

namespace {

class RuntimeTest : public ::testing::Test {
protected:
  void SetUp() override { rclcpp::init(0, nullptr); }
  void TearDown() override { rclcpp::shutdown(); }
};

bool eventually(const std::function<bool()>& cond) {
  return moorwick_test::WaitFor(cond, 30s);
}

// Counts how many callbacks of a set run at the same time.
struct OverlapProbe {
  std::atomic<int> running{0};
  std::atomic<int> max_running{0};
  std::atomic<int> calls{0};
  void run() {
    const int now = ++running;
    int seen = max_running.load();
    while (now > seen && !max_running.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(15ms);
    --running;
    ++calls;
  }
};

struct GroupCase {
  const char* name;
  bool use_default_group;
  rclcpp::CallbackGroupType type;
  bool may_overlap;
};

class CallbackGroupTest : public RuntimeTest, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(CallbackGroupTest, ExclusiveGroupsNeverOverlap) {
  const auto& c = GetParam();
  auto node = rclcpp::Node::make_shared("groups");
  rclcpp::CallbackGroup::SharedPtr group;
  if (!c.use_default_group) {
    group = node->create_callback_group(c.type);
  }
  OverlapProbe probe;
  std::vector<rclcpp::TimerBase::SharedPtr> timers;
  for (int i = 0; i < 3; ++i) {
    timers.push_back(node->create_wall_timer(  // NOLINT(performance-inefficient-vector-operation)
        5ms, [&] { probe.run(); }, group));
  }
  rclcpp::executors::MultiThreadedExecutor exec(rclcpp::ExecutorOptions(), 4);
  exec.add_node(node);
  std::thread t([&] { exec.spin(); });
  // Enough calls for a reentrant group to overlap on any machine.
  const bool enough = eventually(
      [&] { return probe.calls.load() >= 30 && (!c.may_overlap || probe.max_running.load() > 1); });
  exec.cancel();
  t.join();
  ASSERT_TRUE(enough) << c.name << ": calls " << probe.calls.load();
  if (c.may_overlap) {
    EXPECT_GT(probe.max_running.load(), 1) << c.name;
  } else {
    EXPECT_EQ(probe.max_running.load(), 1) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Groups, CallbackGroupTest,
    ::testing::Values(
        GroupCase{"default", true, rclcpp::CallbackGroupType::MutuallyExclusive, false},
        GroupCase{"exclusive", false, rclcpp::CallbackGroupType::MutuallyExclusive, false},
        GroupCase{"reentrant", false, rclcpp::CallbackGroupType::Reentrant, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RuntimeTest, ShutdownEndsSpinAndEveryWait) {
  auto node = rclcpp::Node::make_shared("shutdown_waits");
  auto timer = node->create_wall_timer(10ms, [] {});
  auto client = node->create_client<moorwick_protocol::srv::ArmTrashPose>("/nobody_serves");
  rclcpp::executors::MultiThreadedExecutor exec(rclcpp::ExecutorOptions(), 3);
  exec.add_node(node);

  auto spin_done = std::async(std::launch::async, [&] { exec.spin(); });
  auto service_wait = std::async(std::launch::async,
                                 [&] { return client->wait_for_service(std::chrono::hours(1)); });
  auto message_wait = std::async(std::launch::async, [&] {
    std_msgs::msg::Header h;
    return rclcpp::wait_for_message(h, node, "/never_published", std::chrono::hours(1));
  });
  auto sleeper =
      std::async(std::launch::async, [] { return rclcpp::sleep_for(std::chrono::hours(1)); });
  tf2_ros::Buffer buffer(node->get_clock());
  buffer.setUsingDedicatedThread(true);
  auto lookup_wait = std::async(std::launch::async, [&] {
    std::string error;
    buffer.canTransform("map", "never", tf2::TimePointZero, tf2::durationFromSec(3600.0), &error);
    return error;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(spin_done.wait_for(0s), std::future_status::timeout);
  rclcpp::shutdown();
  ASSERT_EQ(spin_done.wait_for(30s), std::future_status::ready);
  ASSERT_EQ(service_wait.wait_for(30s), std::future_status::ready);
  EXPECT_FALSE(service_wait.get());
  ASSERT_EQ(message_wait.wait_for(30s), std::future_status::ready);
  EXPECT_FALSE(message_wait.get());
  ASSERT_EQ(sleeper.wait_for(30s), std::future_status::ready);
  EXPECT_FALSE(sleeper.get());
  ASSERT_EQ(lookup_wait.wait_for(30s), std::future_status::ready);
  EXPECT_NE(lookup_wait.get().find("\"map\""), std::string::npos);
  EXPECT_FALSE(rclcpp::ok());
}

// A best-effort writer cannot serve a reliable reader: both sides say so in
// rclcpp's words, on the node's logger; a compatible pair says nothing.
TEST_F(RuntimeTest, IncompatibleQosIsReportedOnBothSides) {
  auto node = rclcpp::Node::make_shared("qos_probe");
  auto ignore = [](const std_msgs::msg::Header&) {};
  testing::internal::CaptureStderr();
  auto fine_pub = node->create_publisher<std_msgs::msg::Header>("/qos_fine", rclcpp::QoS(1));
  auto fine_sub = node->create_subscription<std_msgs::msg::Header>(
      "/qos_fine", rclcpp::QoS(1).best_effort(), ignore);
  auto pub =
      node->create_publisher<std_msgs::msg::Header>("/qos_mismatch", rclcpp::QoS(1).best_effort());
  auto sub =
      node->create_subscription<std_msgs::msg::Header>("/qos_mismatch", rclcpp::QoS(1), ignore);
  const char* const kSub =
      "[qos_probe]: New publisher discovered on topic '/qos_mismatch', offering incompatible "
      "QoS. No messages will be sent to it. Last incompatible policy: RELIABILITY_QOS_POLICY";
  const char* const kPub =
      "[qos_probe]: New subscription discovered on topic '/qos_mismatch', requesting "
      "incompatible QoS. No messages will be sent to it. Last incompatible policy: "
      "RELIABILITY_QOS_POLICY";
  // Discovery is asynchronous; the compatible pair matching shows it ran.
  EXPECT_TRUE(eventually([&] { return fine_sub->get_publisher_count() == 1; }));
  std::this_thread::sleep_for(500ms);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(std::string("[WARN] ")), std::string::npos) << err;
  EXPECT_NE(err.find(kSub), std::string::npos) << err;
  EXPECT_NE(err.find(kPub), std::string::npos) << err;
  EXPECT_EQ(err.find("qos_fine"), std::string::npos) << err;
  EXPECT_EQ(sub->get_publisher_count(), 0u);
}

// Callbacks run only inside a spin, on the spinning thread; a malformed sample
// is dropped there and the next one still arrives.
TEST_F(RuntimeTest, MalformedSamplesAreDroppedAndCallbacksRunOnlyWhenSpun) {
  auto node = rclcpp::Node::make_shared("bad_input");
  std::atomic<int> good{0};
  std::thread::id cb_thread;
  auto sub = node->create_subscription<std_msgs::msg::Header>(
      "/mixed", 10, [&](const std_msgs::msg::Header& h) {
        EXPECT_EQ(h.frame_id, "fine");
        cb_thread = std::this_thread::get_id();
        ++good;
      });
  // A writer of the right type name that sends a string length past the end.
  static const ros2_runtime::TypeSupport garbage{
      "std_msgs::msg::dds_::Header_", [](const void*) -> size_t { return 12; },
      [](const void*, unsigned char* out) {
        const unsigned char b[12] = {0, 1, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f};
        std::copy(b, b + 12, out);
      }};
  ros2_runtime::DdsWriter bad(rclcpp::contexts::get_global_default_context()->participant(),
                              "rt/mixed", garbage, rclcpp::QoS(10).get_rmw_qos_profile());
  auto pub = node->create_publisher<std_msgs::msg::Header>("/mixed", 10);
  ASSERT_TRUE(
      eventually([&] { return bad.matched_count() > 0 && pub->get_subscription_count() > 0; }));
  int dummy = 0;
  ASSERT_TRUE(bad.write(&dummy));
  std_msgs::msg::Header h;
  h.frame_id = "fine";
  pub->publish(h);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(good.load(), 0);
  rclcpp::executors::SingleThreadedExecutor exec;
  exec.add_node(node);
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (good.load() == 0 && std::chrono::steady_clock::now() < end) {
    exec.spin_once(100ms);
  }
  exec.spin_some();
  EXPECT_EQ(good.load(), 1);
  EXPECT_EQ(cb_thread, std::this_thread::get_id());
}

TEST_F(RuntimeTest, DiscoveryInfoListsNodesAndTheirEndpoints) {
  using Info = rmw_dds_common::msg::ParticipantEntitiesInfo;
  using Srv = moorwick_protocol::srv::ArmTrashPose;
  auto ctx = rclcpp::contexts::get_global_default_context();
  rmw_qos_profile_t qos = rclcpp::QoS(1).transient_local().get_rmw_qos_profile();
  ros2_runtime::DdsReader reader(ctx->participant(), "ros_discovery_info",
                                 ros2_runtime::message_type_support<Info>(), qos, "", [] {});
  auto node = std::make_shared<rclcpp::Node>("graph_node", "/g");
  auto pub = node->create_publisher<std_msgs::msg::Header>("out", 1);
  auto sub = node->create_subscription<std_msgs::msg::Header>(
      "in", 1, [](const std_msgs::msg::Header::ConstSharedPtr&) {});
  auto srv = node->create_service<Srv>(
      "svc", [](const std::shared_ptr<Srv::Request>&, const std::shared_ptr<Srv::Response>&) {});
  const auto participant_gid = ros2_runtime::entity_gid(ctx->participant());
  const auto pub_gid = pub->gid();

  // The latest entry of our participant, as a tool would see it.
  auto latest = [&](Info& out) {
    bool any = false;
    ros2_runtime::ReceivedSample s;
    while (reader.take(s)) {
      Info info;
      if (ros2_runtime::cdr::deserialize(s.data(), s.size(), info) &&
          info.gid.data == participant_gid) {
        out = info;
        any = true;
      }
    }
    return any;
  };
  auto contains = [](const std::vector<rmw_dds_common::msg::Gid>& v, const ros2_runtime::Gid& g) {
    return std::any_of(v.begin(), v.end(), [&](const auto& x) { return x.data == g; });
  };
  auto node_entry = [](const Info& info) -> const rmw_dds_common::msg::NodeEntitiesInfo* {
    for (const auto& n : info.node_entities_info_seq) {
      if (n.node_name == "graph_node" && n.node_namespace == "/g") {
        return &n;
      }
    }
    return nullptr;
  };

  Info info;
  ASSERT_TRUE(eventually([&] {
    latest(info);
    const auto* n = node_entry(info);
    return n != nullptr && contains(n->writer_gid_seq, srv->reply_gid());
  }));
  const auto* n = node_entry(info);
  EXPECT_TRUE(contains(n->writer_gid_seq, pub_gid));
  EXPECT_TRUE(contains(n->reader_gid_seq, sub->gid()));
  EXPECT_TRUE(contains(n->reader_gid_seq, srv->request_gid()));
  EXPECT_FALSE(contains(n->reader_gid_seq, pub_gid));

  pub.reset();
  ASSERT_TRUE(eventually([&] {
    latest(info);
    const auto* m = node_entry(info);
    return m != nullptr && !contains(m->writer_gid_seq, pub_gid);
  }));
  sub.reset();
  srv.reset();
  node.reset();
  ASSERT_TRUE(eventually([&] {
    latest(info);
    return node_entry(info) == nullptr;
  }));
}

}  // namespace
