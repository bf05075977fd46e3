// The --ros-args part of the command line: remapping, log levels, and what
// rclcpp::init refuses or reports (DDS domain 11).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "rclcpp/rclcpp.hpp"
#include "std_msgs/msg/header.hpp"

namespace {

void Init(std::vector<const char*> args) {
  args.insert(args.begin(), "node_exe");
  rclcpp::init(static_cast<int>(args.size()), args.data());
}

class RosArgsTest : public ::testing::Test {
protected:
  void TearDown() override { rclcpp::shutdown(); }
};

TEST_F(RosArgsTest, CommandLineRulesRemapNodesTopicsAndServices) {
  Init({"--user-flag", "--ros-args", "-r", "__ns:=/robot", "-r", "image:=/cam/rgb", "--remap",
        "rosservice://detect:=/arm/detect", "-r", "talker:__node:=speaker", "-r",
        "other:chatter:=/wrong", "-r", "~/state:=/status", "--", "--another-user-flag"});
  auto talker = rclcpp::Node::make_shared("talker");
  EXPECT_STREQ(talker->get_name(), "speaker");
  EXPECT_STREQ(talker->get_fully_qualified_name(), "/robot/speaker");
  EXPECT_STREQ(talker->get_logger().get_name(), "robot.speaker");
  // Rules match the expanded name, however the code spells it.
  EXPECT_EQ(talker->resolve_topic_name("image"), "/cam/rgb");
  EXPECT_EQ(talker->resolve_topic_name("/robot/image"), "/cam/rgb");
  EXPECT_EQ(talker->resolve_topic_name("~/state"), "/status");
  // A service-only rule leaves the topic of the same name alone.
  EXPECT_EQ(talker->resolve_service_name("detect"), "/arm/detect");
  EXPECT_EQ(talker->resolve_topic_name("detect"), "/robot/detect");
  // A rule for another node does not apply.
  EXPECT_EQ(talker->resolve_topic_name("chatter"), "/robot/chatter");
  // Entities are created under the remapped names.
  auto pub = talker->create_publisher<std_msgs::msg::Header>("image", 1);
  EXPECT_STREQ(pub->get_topic_name(), "/cam/rgb");
  auto srv = talker->create_service<moorwick_protocol::srv::ArmTrashPose>(
      "detect", [](const std::shared_ptr<moorwick_protocol::srv::ArmTrashPose::Request>&,
                   const std::shared_ptr<moorwick_protocol::srv::ArmTrashPose::Response>&) {});
  EXPECT_STREQ(srv->get_service_name(), "/arm/detect");

  // The node's own rules come first; the __node rule named "talker" only.
  auto listener = rclcpp::Node::make_shared(
      "listener", rclcpp::NodeOptions().arguments({"--ros-args", "-r", "image:=/local/image"}));
  EXPECT_STREQ(listener->get_fully_qualified_name(), "/robot/listener");
  EXPECT_EQ(listener->resolve_topic_name("image"), "/local/image");
  // Without the global arguments nothing of the command line applies.
  auto isolated =
      rclcpp::Node::make_shared("talker", "", rclcpp::NodeOptions().use_global_arguments(false));
  EXPECT_STREQ(isolated->get_fully_qualified_name(), "/talker");
  EXPECT_EQ(isolated->resolve_topic_name("image"), "/image");
}

struct RefusedCase {
  const char* what;
  std::vector<const char*> args;
  bool unknown;  // UnknownROSArgsError rather than an rcl parse error
  const char* text;
};

TEST_F(RosArgsTest, MalformedOrUnknownRosArgumentsFailInit) {
  const std::vector<RefusedCase> cases = {
      {"trailing -r", {"--ros-args", "-r"}, false, "No remap rule found"},
      {"no separator", {"--ros-args", "-r", "image"}, false, "'-r image'"},
      {"relative namespace", {"--ros-args", "-r", "__ns:=robot"}, false, "__ns:=robot"},
      {"wildcard", {"--ros-args", "--remap", "a/*:=b"}, false, "a/*:=b"},
      {"bad node name", {"--ros-args", "-r", "__node:=a/b"}, false, "__node:=a/b"},
      {"bad level", {"--ros-args", "--log-level", "loud"}, false, "valid severity level"},
      {"unknown flag",
       {"--ros-args", "--frobnicate", "-x", "--", "--ok"},
       true,
       "found unknown ROS arguments: '--frobnicate', '-x'"},
  };
  for (const auto& c : cases) {
    std::string text;
    bool unknown = false;
    try {
      Init(c.args);
    } catch (const rclcpp::exceptions::UnknownROSArgsError& e) {
      text = e.what();
      unknown = true;
    } catch (const rclcpp::exceptions::RCLError& e) {
      text = e.what();
    }
    EXPECT_EQ(unknown, c.unknown) << c.what << ": " << text;
    EXPECT_NE(text.find(c.text), std::string::npos) << c.what << ": " << text;
    EXPECT_FALSE(rclcpp::ok()) << c.what;
  }
}

TEST_F(RosArgsTest, LogLevelsFollowTheCommandLine) {
  using rclcpp::detail::log_enabled;
  Init({"--ros-args", "--log-level", "WARN", "--log-level", "planner.local:=debug"});
  EXPECT_FALSE(log_enabled(20, "node"));
  EXPECT_TRUE(log_enabled(30, "node"));
  // A logger's level holds for its children, not for its parent.
  EXPECT_TRUE(log_enabled(10, "planner.local"));
  EXPECT_TRUE(log_enabled(10, "planner.local.costmap"));
  EXPECT_FALSE(log_enabled(20, "planner"));
  rclcpp::shutdown();
  // A later init without the flags is back to the default, info.
  Init({});
  EXPECT_TRUE(log_enabled(20, "node"));
  EXPECT_FALSE(log_enabled(10, "planner.local"));
}

TEST_F(RosArgsTest, UnsupportedArgumentsAreReportedInOneLine) {
  testing::internal::CaptureStderr();
  Init({"--ros-args", "-p", "rate:=5", "--params-file", "/tmp/p.yaml", "--enable-rosout-logs",
        "--disable-rosout-logs"});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(rclcpp::ok());
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  for (const char* a :
       {"not supported", "'-p rate:=5'", "'--params-file /tmp/p.yaml'", "'--enable-rosout-logs'"}) {
    EXPECT_NE(err.find(a), std::string::npos) << a << " in " << err;
  }
  // What the runtime already does (no rosout) is not reported.
  EXPECT_EQ(err.find("--disable-rosout-logs"), std::string::npos) << err;
}

}  // namespace
