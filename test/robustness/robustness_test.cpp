// The node's shutdown end to end: its own process with sim_camera as the
// driver. Bad aims are the detect service's cases and broken frames, camera_info
// and a late camera mounting the frame callback's (test/node).
#include <gtest/gtest.h>

#include "moorwick_test/demo_node.hpp"

namespace moorwick_test {
namespace {

using namespace std::chrono_literals;

using Robustness = DemoNodeTest<120>;

// The one shutdown test: SIGINT while a request waits for a stopped camera
// ends the process with 0 at once, not after detect_timeout_ms (no time-out
// line) and without a SIGKILL.
TEST_F(Robustness, SigintWhileARequestWaitsEndsTheProcessWithZero) {
  main_ = SetKey(main_, "detect_timeout_ms", "60000");
  StartSim(config_ / "scene.yaml");
  StartNode();
  const auto first = Call(MapOf(0));
  ASSERT_TRUE(first.has_value()) << NodeLog();
  ASSERT_EQ(first->error_code, kNone) << first->error_msg << "\n" << NodeLog();
  sims_.back()->stop();
  const std::size_t mark = NodeLog().size();
  auto pending = client_->async_send_request(Request(MapOf(0)));
  ASSERT_TRUE(LoggedSince(mark, "waiting detect to complete"));
  EXPECT_EQ(node_proc_->stop(20s), 0) << NodeLog();
  EXPECT_FALSE(node_proc_->killed()) << "the node ignored SIGINT\n" << NodeLog();
  EXPECT_EQ(NodeLogSince(mark).find("cam_1: trash pose detect process timeout"), std::string::npos)
      << NodeLogSince(mark);
}

}  // namespace
}  // namespace moorwick_test
