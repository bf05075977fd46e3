// sim_camera as a separate process over DDS: what a subscriber sees on the
// image, camera_info and tf topics.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>

#include "e2e_support.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/camera_info.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "tf2_msgs/msg/tf_message.hpp"

namespace moorwick_e2e {
namespace {

const std::string kScene = MOORWICK_SOURCE_DIR "/config/demo/scene.yaml";

class SimCameraOverDds : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // A domain of our own per run, so that two checkouts running the suite
    // at once (a developer and CI) do not answer each other's calls.
    setenv("ROS_DOMAIN_ID", std::to_string(110 + getpid() % 10).c_str(), 1);
    setenv("CYCLONEDDS_URI", "file://" MOORWICK_SOURCE_DIR "/config/cyclonedds_loopback.xml", 1);
    rclcpp::init(0, nullptr);
  }
  static void TearDownTestSuite() { rclcpp::shutdown(); }

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("moorwick_e2e_sim_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    scene_ = moorwick_sim::LoadSceneFile(kScene);
    node_ = std::make_shared<rclcpp::Node>("sim_camera_e2e_probe");
    executor_ = std::make_shared<rclcpp::executors::SingleThreadedExecutor>();
    executor_->add_node(node_);
    spinner_ = std::thread([this] { executor_->spin(); });
  }
  void TearDown() override {
    executor_->cancel();
    spinner_.join();
    fs::remove_all(dir_);
  }

  void Subscribe() {
    rgb_sub_ = node_->create_subscription<sensor_msgs::msg::Image>(
        scene_.rgb_topic, rclcpp::QoS(10), [this](sensor_msgs::msg::Image::SharedPtr m) {
          std::lock_guard<std::mutex> l(mutex_);
          rgb_.push_back(m);
        });
    depth_sub_ = node_->create_subscription<sensor_msgs::msg::Image>(
        scene_.depth_topic, rclcpp::QoS(10), [this](sensor_msgs::msg::Image::SharedPtr m) {
          std::lock_guard<std::mutex> l(mutex_);
          depth_.push_back(m);
        });
    info_sub_ = node_->create_subscription<sensor_msgs::msg::CameraInfo>(
        scene_.camera_info_topic, rclcpp::QoS(1),
        [this](sensor_msgs::msg::CameraInfo::SharedPtr m) {
          std::lock_guard<std::mutex> l(mutex_);
          info_.push_back(m);
        });
    tf_sub_ = node_->create_subscription<tf2_msgs::msg::TFMessage>(
        "/tf", rclcpp::QoS(100), [this](tf2_msgs::msg::TFMessage::SharedPtr m) {
          std::lock_guard<std::mutex> l(mutex_);
          tf_.push_back(m);
        });
    SubscribeStatic();
  }
  void SubscribeStatic() {
    tf_static_sub_ = node_->create_subscription<tf2_msgs::msg::TFMessage>(
        "/tf_static", rclcpp::QoS(100).transient_local(),
        [this](tf2_msgs::msg::TFMessage::SharedPtr m) {
          std::lock_guard<std::mutex> l(mutex_);
          tf_static_.push_back(m);
        });
  }
  std::size_t Count(const std::function<std::size_t()>& f) {
    std::lock_guard<std::mutex> l(mutex_);
    return f();
  }

  fs::path dir_;
  moorwick_sim::SceneFile scene_;
  rclcpp::Node::SharedPtr node_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> executor_;
  std::thread spinner_;
  std::mutex mutex_;
  std::vector<sensor_msgs::msg::Image::SharedPtr> rgb_, depth_;
  std::vector<sensor_msgs::msg::CameraInfo::SharedPtr> info_;
  std::vector<tf2_msgs::msg::TFMessage::SharedPtr> tf_, tf_static_;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr rgb_sub_, depth_sub_;
  rclcpp::Subscription<sensor_msgs::msg::CameraInfo>::SharedPtr info_sub_;
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr tf_sub_, tf_static_sub_;
};

TEST_F(SimCameraOverDds, PublishesRegisteredFramesCameraInfoAndTransforms) {
  Subscribe();
  Process sim({SIM_CAMERA_EXE, kScene, "--rate", "5", "--variants", "2"}, dir_ / "sim.log");
  ASSERT_TRUE(sim.started());
  ASSERT_TRUE(
      WaitFor([&] { return Count([&] { return std::min(rgb_.size(), depth_.size()); }) >= 4; },
              std::chrono::seconds(30)))
      << sim.Log();
  ASSERT_TRUE(WaitFor([&] { return Count([&] { return tf_static_.size(); }) >= 1; },
                      std::chrono::seconds(5)));
  EXPECT_EQ(sim.Stop(), 0) << sim.Log();
  EXPECT_FALSE(sim.killed());

  std::lock_guard<std::mutex> l(mutex_);
  // Colour and depth of one frame share a stamp; stamps increase.
  std::set<std::pair<int, unsigned>> rgb_stamps, depth_stamps;
  for (const auto& m : rgb_)
    rgb_stamps.insert({m->header.stamp.sec, m->header.stamp.nanosec});
  for (const auto& m : depth_)
    depth_stamps.insert({m->header.stamp.sec, m->header.stamp.nanosec});
  int common = 0;
  for (const auto& s : rgb_stamps)
    common += depth_stamps.count(s) ? 1 : 0;
  EXPECT_GE(common, 3);
  EXPECT_EQ(rgb_stamps.size(), rgb_.size());  // no two frames with one stamp

  // Contents: exactly the renderer's frame for one of the two noise draws.
  const auto& rgb = *rgb_.front();
  const auto& depth = *depth_.front();
  EXPECT_EQ(rgb.encoding, "rgb8");
  EXPECT_EQ(depth.encoding, "16UC1");
  EXPECT_EQ(rgb.header.frame_id, "camera_color_optical_frame");
  EXPECT_EQ(depth.header.frame_id, "camera_color_optical_frame");
  ASSERT_EQ(depth.width, 640U);
  ASSERT_EQ(depth.height, 360U);
  ASSERT_EQ(depth.step, 1280U);
  bool matches_a_draw = false;
  for (std::uint32_t k = 0; k < 2; ++k) {
    auto options = scene_.render;
    options.seed += k;
    const auto frame = moorwick_sim::RenderScene(scene_.scene, options);
    matches_a_draw |= std::memcmp(frame.depth.data, depth.data.data(), depth.data.size()) == 0;
  }
  EXPECT_TRUE(matches_a_draw);

  ASSERT_FALSE(info_.empty());
  EXPECT_DOUBLE_EQ(info_.front()->k[0], 326.9);
  EXPECT_DOUBLE_EQ(info_.front()->k[5], 181.7);
  EXPECT_EQ(info_.front()->header.frame_id, "camera_color_optical_frame");

  // Camera mounting on /tf_static, parent arm base.
  const auto& st = tf_static_.front()->transforms.at(0);
  EXPECT_EQ(st.header.frame_id, "arm_base_link");
  EXPECT_EQ(st.child_frame_id, "camera_color_optical_frame");
  EXPECT_NEAR(st.transform.translation.x, -0.05, 1e-12);
  EXPECT_NEAR(st.transform.translation.z, 0.30, 1e-12);
  const Eigen::Quaterniond q(st.transform.rotation.w, st.transform.rotation.x,
                             st.transform.rotation.y, st.transform.rotation.z);
  EXPECT_TRUE((q * Eigen::Vector3d::UnitZ())
                  .isApprox(scene_.scene.camera.base_from_camera.linear().col(2), 1e-9));
  // The robot in the map on /tf, stamped like the frames.
  ASSERT_FALSE(tf_.empty());
  const auto& mt = tf_.front()->transforms.at(0);
  EXPECT_EQ(mt.header.frame_id, "map");
  EXPECT_EQ(mt.child_frame_id, "arm_base_link");
  EXPECT_NEAR(mt.transform.translation.x, 2.0, 1e-12);
  EXPECT_NEAR(mt.transform.translation.y, 1.0, 1e-12);
  // Topics are discovered one by one, so the first /tf may belong to a frame
  // whose colour image came before this subscriber heard the topic.
  int tf_with_frame = 0;
  for (const auto& m : tf_) {
    const auto& stamp = m->transforms.at(0).header.stamp;
    tf_with_frame += rgb_stamps.count({stamp.sec, stamp.nanosec}) == 1 ? 1 : 0;
  }
  EXPECT_GE(tf_with_frame, 2);
}

TEST_F(SimCameraOverDds, LateSubscriberStillGetsTheCameraMounting) {
  Process sim({SIM_CAMERA_EXE, kScene, "--rate", "2", "--variants", "1"}, dir_ / "sim.log");
  ASSERT_TRUE(WaitFor([&] { return sim.Log().find("1 frames sent") != std::string::npos; },
                      std::chrono::seconds(30)))
      << sim.Log();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  SubscribeStatic();
  EXPECT_TRUE(WaitFor([&] { return Count([&] { return tf_static_.size(); }) >= 1; },
                      std::chrono::seconds(10)));
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(SimCameraOverDds, StopsByItselfAfterTheAskedFramesAndRefusesBadInput) {
  Process sim({SIM_CAMERA_EXE, kScene, "--rate", "20", "--frames", "3", "--variants", "1"},
              dir_ / "sim.log");
  ASSERT_TRUE(sim.WaitExit(std::chrono::seconds(30))) << sim.Log();
  EXPECT_TRUE(WIFEXITED(sim.status()) && WEXITSTATUS(sim.status()) == 0) << sim.Log();
  EXPECT_NE(sim.Log().find("stopped after 3 frames"), std::string::npos) << sim.Log();

  WriteFile(dir_ / "bad.yaml", "camera: {width: 10}\n");
  Process bad({SIM_CAMERA_EXE, (dir_ / "bad.yaml").string()}, dir_ / "bad.log");
  ASSERT_TRUE(bad.WaitExit(std::chrono::seconds(10)));
  EXPECT_TRUE(WIFEXITED(bad.status()) && WEXITSTATUS(bad.status()) == 1);
  EXPECT_NE(bad.Log().find("bad.yaml"), std::string::npos) << bad.Log();

  Process usage({SIM_CAMERA_EXE, kScene, "--rate", "fast"}, dir_ / "usage.log");
  ASSERT_TRUE(usage.WaitExit(std::chrono::seconds(10)));
  EXPECT_TRUE(WIFEXITED(usage.status()) && WEXITSTATUS(usage.status()) == 2);
}

}  // namespace
}  // namespace moorwick_e2e
