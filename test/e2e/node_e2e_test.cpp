// The node as a user runs it: its own process, a share prefix found through
// AMENT_PREFIX_PATH, sim_camera processes as drivers, all over DDS.
#include <gtest/gtest.h>

#include "moorwick_test/demo_node.hpp"

namespace moorwick_test {
namespace {

using NodeEndToEnd = DemoNodeTest<90>;

// The camera comes up after the node, as it may on a robot.
TEST_F(NodeEndToEnd, SingleCameraAnswersEachReachablePieceWithinTenMillimetres) {
  StartNode();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(node_proc_->running()) << NodeLog();
  StartSim(config_ / "scene.yaml", {"--rate", "5"});
  for (int k = 0; k < static_cast<int>(scene_.scene.pieces.size()); ++k) {
    const auto truth = moorwick_sim::ComputePieceTruth(scene_.scene, k);
    SCOPED_TRACE(truth.name);
    const auto answer = Call(MapOf(k));
    ASSERT_TRUE(answer.has_value()) << NodeLog();
    if (truth.name.find("out of reach") != std::string::npos) {
      EXPECT_EQ(answer->error_code, kNoTarget);
      EXPECT_EQ(answer->error_msg, "NO_TARGET_TRASH_CHOOSED");
      continue;
    }
    ASSERT_EQ(answer->error_code, kNone) << answer->error_msg << "\n" << NodeLog();
    EXPECT_EQ(answer->error_msg, "NONE: 无错误");
    EXPECT_EQ(answer->trash_info.class_id, truth.class_index);
    const auto error = moorwick_sim::CompareGrab(truth, Position(answer->trash_info.arm_pose));
    EXPECT_TRUE(error.ok) << error.horizontal_mm << " mm horizontally, " << error.vertical_mm
                          << " mm vertically";
    // Aim mode fills the map pose through the map transform of sim_camera.
    const Eigen::Vector3d map_expected =
        scene_.map_from_arm_base * Position(answer->trash_info.arm_pose);
    EXPECT_LT((Position(answer->trash_info.map_pose) - map_expected).norm(), 1e-3);
  }
}

}  // namespace
}  // namespace moorwick_test
