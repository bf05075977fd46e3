// A static and a moving transform published by another process are found by a
// TransformListener here.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <memory>

#include "rclcpp/rclcpp.hpp"
#include "tf2_eigen/tf2_eigen.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/transform_listener.h"

extern char** environ;

namespace {

class Peer {
public:
  explicit Peer(const char* path) {
    char* argv[] = {const_cast<char*>(path), nullptr};
    ok_ = posix_spawn(&pid_, path, nullptr, nullptr, argv, environ) == 0;
  }
  ~Peer() {
    if (ok_) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  bool ok() const { return ok_; }

private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

TEST(Tf2TwoProcess, ListenerFindsStaticAndMovingFramesOfAnotherProcess) {
  rclcpp::init(0, nullptr);
  {
    Peer peer(TF2_TEST_PEER_PATH);
    ASSERT_TRUE(peer.ok());
    auto node = std::make_shared<rclcpp::Node>("tf2_two_process_listener");
    tf2_ros::Buffer buffer(node->get_clock(), tf2::durationFromSec(10.0));
    tf2_ros::TransformListener listener(buffer);

    const auto map_camera = buffer.lookupTransform("map", "camera_link", tf2::TimePointZero,
                                                   tf2::durationFromSec(20.0));
    EXPECT_EQ(map_camera.header.frame_id, "map");
    EXPECT_EQ(map_camera.child_frame_id, "camera_link");
    // The moving link is stamped with the peer's clock; the static one is timeless.
    EXPECT_GT(map_camera.header.stamp.sec, 0);
    // (1, 2, 0) + Rz(90) * (0.1, 0, 0.5) = (1, 2.1, 0.5).
    const Eigen::Isometry3d pose = tf2::transformToEigen(map_camera);
    EXPECT_NEAR((pose.translation() - Eigen::Vector3d(1.0, 2.1, 0.5)).norm(), 0.0, 1e-9);
    EXPECT_NEAR((pose.rotation() * Eigen::Vector3d::UnitX() - Eigen::Vector3d::UnitY()).norm(), 0.0,
                1e-9);

    const auto fixed = buffer.lookupTransform("arm_base_link", "camera_link", tf2::TimePointZero,
                                              tf2::durationFromSec(5.0));
    EXPECT_EQ(fixed.header.stamp.sec, 0);
    EXPECT_NEAR(fixed.transform.translation.x, 0.1, 1e-12);
  }
  rclcpp::shutdown();
}

}  // namespace
