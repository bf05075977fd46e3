// The detect service's hand-shake and target choice, driven through real camera
// nodes whose frame results a responder thread delivers, as an image callback would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "log_capture.hpp"
#include "moorwick_arm_trash_detect/node/camera_detection_node.hpp"
#include "moorwick_arm_trash_detect/node/detection_node.hpp"

namespace moorwick {
namespace {

TrashInfo PieceAtArm(std::uint8_t class_id, double x, double y, double z) {
  TrashInfo info;
  info.class_id = class_id;
  info.arm_pose.px = x;
  info.arm_pose.py = y;
  info.arm_pose.pz = z;
  info.obb_size[0] = 0.01 * class_id;
  return info;
}

TrashInfo PieceAtMap(std::uint8_t class_id, double x, double y, double z) {
  TrashInfo info;
  info.class_id = class_id;
  info.map_pose.px = x;
  info.map_pose.py = y;
  info.map_pose.pz = z;
  // Far from the arm base: an aim choice must not depend on arm_pose.
  info.arm_pose.px = 5.0;
  return info;
}

bool SamePose(const PoseRecord& a, const PoseRecord& b) {
  return a.px == b.px && a.py == b.py && a.pz == b.pz && a.qx == b.qx && a.qy == b.qy &&
         a.qz == b.qz && a.qw == b.qw;
}

// Field by field: the record has padding after its four bytes.
bool SameRecord(const TrashInfo& a, const TrashInfo& b) {
  return a.class_id == b.class_id && a.reserved_1 == b.reserved_1 &&
         a.main_axis_type == b.main_axis_type && a.reserved_3 == b.reserved_3 &&
         SamePose(a.map_pose, b.map_pose) && SamePose(a.arm_pose, b.arm_pose) &&
         SamePose(a.obb_pose, b.obb_pose) && a.obb_size[0] == b.obb_size[0] &&
         a.obb_size[1] == b.obb_size[1] && a.obb_size[2] == b.obb_size[2];
}

// Plays one camera's image callback: waits until the service arms the camera,
// then hands over its records as a processed frame would.
class Responder {
public:
  Responder(std::shared_ptr<CameraDetectionNode> camera, std::vector<TrashInfo> infos)
      : camera_(std::move(camera)), infos_(std::move(infos)) {
    // The first frame after start-up has been processed.
    camera_->is_start_detect_ = false;
    thread_ = std::thread([this] {
      while (!stop_) {
        if (camera_->is_start_detect_) {
          camera_->FinishDetect(infos_);
          ++deliveries_;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  int deliveries() const { return deliveries_; }

private:
  std::shared_ptr<CameraDetectionNode> camera_;
  std::vector<TrashInfo> infos_;
  std::atomic<bool> stop_{false};
  std::atomic<int> deliveries_{0};
  std::thread thread_;
};

class DetectServiceTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }

  void SetUp() override {
    log_ = test::InstallCaptureSink();
    log_->Clear();
  }

  std::shared_ptr<CameraDetectionNode> Camera(int cam_id, bool aim = false) {
    const std::string name =
        "detect_service_test_cam" + std::to_string(cam_id) + "_" + std::to_string(counter_++);
    auto node = std::make_shared<rclcpp::Node>(name);
    auto camera = std::make_shared<CameraDetectionNode>(node, "unused.yaml");
    camera->cam_id = cam_id;
    camera->is_grab_aim_trash = aim;
    cameras_.push_back(camera);
    return camera;
  }

  DetectAnswer Run(std::int32_t cmd = 0, std::uint8_t cam_choice = 0,
                   const TrashInfo& aim = TrashInfo{}) {
    DetectAnswer answer;
    RunDetect(cameras_, settings_, cmd, cam_choice, aim, answer);
    return answer;
  }

  DetectSettings settings_{1.0F, 0.05F, 150};
  std::vector<std::shared_ptr<CameraDetectionNode>> cameras_;
  std::shared_ptr<test::CaptureSink> log_;
  static inline int counter_ = 0;
};

TEST_F(DetectServiceTest, RadiusChoiceTakesNearestAndLogsEachImprovement) {
  auto cam = Camera(1);
  Responder responder(
      cam, {PieceAtArm(1, 0.8, 0, 0), PieceAtArm(2, 0, 0.5, 0), PieceAtArm(3, 0, 0, 0.5)});
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 102200000);
  EXPECT_EQ(answer.error_msg, "NONE: 无错误");
  // The equally near third piece does not replace the second.
  EXPECT_EQ(answer.trash_info.class_id, 2);
  EXPECT_TRUE(SameRecord(answer.trash_info, PieceAtArm(2, 0, 0.5, 0)));
  EXPECT_EQ(log_->Count("d_min is now:"), 2U);
  EXPECT_EQ(log_->Count("d_min is now:0.8"), 1U);
  EXPECT_EQ(log_->Count("d_min is now:0.5"), 1U);
  EXPECT_EQ(log_->Count("cam_1: Choosed target trash need to grab!"), 1U);
  EXPECT_EQ(log_->Count("detect completed !"), 1U);
  EXPECT_FALSE(cam->is_detect_done_);
}

TEST_F(DetectServiceTest, RadiusChoiceWithNothingInReachFailsAndAsksNextCamera) {
  auto far_cam = Camera(1);
  auto near_cam = Camera(2);
  Responder far(far_cam, {PieceAtArm(1, 1.2, 0, 0), PieceAtArm(2, 0.0, -1.0, 0.0)});
  Responder near(near_cam, {PieceAtArm(7, 0.3, 0.1, -0.1)});
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 102200000);
  EXPECT_EQ(answer.trash_info.class_id, 7);
  EXPECT_EQ(log_->Count("cam_1: failed to choose target trash!"), 1U);
  EXPECT_EQ(log_->Count("cam_2: Choosed target trash need to grab!"), 1U);
}

TEST_F(DetectServiceTest, RadiusChoiceWithNothingInReachOnLastCameraAnswersNoTarget) {
  auto cam = Camera(1);
  // Exactly at the radius is not inside it.
  Responder responder(cam, {PieceAtArm(1, 1.0, 0, 0), PieceAtArm(2, 0.9, 0.9, 0)});
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 102200010);
  EXPECT_EQ(answer.error_msg, "NO_TARGET_TRASH_CHOOSED");
  EXPECT_TRUE(SameRecord(answer.trash_info, TrashInfo{}));
  EXPECT_EQ(log_->Count("d_min is now:"), 0U);
}

TEST_F(DetectServiceTest, AimChoiceInsideRadiusTakesNearestToAim) {
  auto cam = Camera(3, /*aim=*/true);
  Responder responder(cam, {PieceAtMap(1, 1.03, 2.0, 0.0), PieceAtMap(2, 1.0, 2.01, 0.0),
                            PieceAtMap(3, 1.2, 2.0, 0.0)});
  const DetectAnswer answer = Run(0, 0, PieceAtMap(9, 1.0, 2.0, 0.0));
  EXPECT_EQ(answer.error_code, 102200000);
  EXPECT_EQ(answer.trash_info.class_id, 2);
  EXPECT_EQ(log_->Count("aim_trash_info.map_pose: x:1.000, y:2.000, z:0.000,"), 1U);
  EXPECT_EQ(log_->Count("trash_infos[2].map_pose: x:1.200, y:2.000, z:0.000,"), 1U);
  EXPECT_EQ(log_->Count("Distance from target to aim trash is: dx:0.030, dy:0.000, dz:0.000, "
                        "d:0.030"),
            1U);
  EXPECT_EQ(log_->Count("d_min is now:"), 2U);
}

TEST_F(DetectServiceTest, AimChoiceOutsideRadiusAnswersNoTarget) {
  auto cam = Camera(3, /*aim=*/true);
  Responder responder(cam, {PieceAtMap(1, 1.06, 2.0, 0.0), PieceAtMap(2, 1.0, 2.0, 0.3)});
  const DetectAnswer answer = Run(0, 0, PieceAtMap(9, 1.0, 2.0, 0.0));
  EXPECT_EQ(answer.error_code, 102200010);
  EXPECT_EQ(answer.error_msg, "NO_TARGET_TRASH_CHOOSED");
  EXPECT_TRUE(SameRecord(answer.trash_info, TrashInfo{}));
  EXPECT_EQ(log_->Count("cam_3: failed to choose target trash!"), 1U);
}

TEST_F(DetectServiceTest, EmptyListAnswersListEmptyUnlessALaterCameraChooses) {
  auto empty_cam = Camera(1);
  {
    Responder responder(empty_cam, {});
    const DetectAnswer answer = Run();
    EXPECT_EQ(answer.error_code, 102200003);
    EXPECT_EQ(answer.error_msg, "TRASH_POSE_LIST_EMPTY");
    EXPECT_EQ(log_->Count("cam_1: failed to detect trash need to grab!"), 1U);
  }
  auto second = Camera(2);
  Responder empty_again(empty_cam, {});
  Responder responder(second, {PieceAtArm(4, 0.4, 0, 0)});
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 102200000);
  EXPECT_EQ(answer.trash_info.class_id, 4);
}

TEST_F(DetectServiceTest, FirstCameraTimingOutLeavesTheAnswerToTheSecond) {
  auto silent = Camera(1);
  auto second = Camera(2);
  silent->is_start_detect_ = false;
  Responder responder(second, {PieceAtArm(5, 0.2, 0.2, 0)});
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 102200000);
  EXPECT_EQ(answer.trash_info.class_id, 5);
  EXPECT_EQ(log_->Count("cam_1: trash pose detect process timeout"), 1U);
  EXPECT_GE(log_->Count("is_camera_1_detect_done_: false"), 1U);
  EXPECT_GE(log_->Count("waiting detect to complete"), 1U);
  EXPECT_FALSE(silent->is_detect_done_);
  // The silent camera stays armed for its next frame.
  EXPECT_TRUE(silent->is_start_detect_);
}

TEST_F(DetectServiceTest, AllCamerasTimingOutLeaveTheInitialAnswer) {
  auto a = Camera(1);
  auto b = Camera(2);
  a->is_start_detect_ = false;
  b->is_start_detect_ = false;
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 0);
  EXPECT_EQ(answer.error_msg, "");
  EXPECT_TRUE(SameRecord(answer.trash_info, TrashInfo{}));
  EXPECT_EQ(log_->Count("trash pose detect process timeout"), 2U);
  EXPECT_EQ(log_->Count("detect completed !"), 1U);
}

TEST_F(DetectServiceTest, StaleResultOfATimedOutFrameIsNotTakenByTheNextCall) {
  auto cam = Camera(1);
  cam->is_start_detect_ = false;
  Run();  // times out
  // The frame finishes only after the service gave up on it.
  cam->FinishDetect({PieceAtArm(6, 0.3, 0, 0)});
  cam->is_start_detect_ = false;
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 0);
  EXPECT_EQ(log_->Count("trash pose detect process timeout"), 2U);
}

TEST_F(DetectServiceTest, CmdAndCamChoiceDoNotChangeTheRun) {
  auto first = Camera(1);
  auto second = Camera(2);
  const std::vector<std::pair<std::int32_t, std::uint8_t>> requests{
      {0, 0}, {1, 1}, {-5, 255}, {2147483647, 2}};
  for (const auto& [cmd, cam_choice] : requests) {
    SCOPED_TRACE(cmd);
    log_->Clear();
    Responder r1(first, {PieceAtArm(1, 2.0, 0, 0)});
    Responder r2(second, {PieceAtArm(2, 0.6, 0, 0), PieceAtArm(3, 0.4, 0, 0)});
    const DetectAnswer answer = Run(cmd, cam_choice);
    EXPECT_EQ(answer.error_code, 102200000);
    EXPECT_EQ(answer.trash_info.class_id, 3);
    EXPECT_EQ(log_->Count("Received cmd: " + std::to_string(cmd) +
                          "  cam_choice: " + std::to_string(cam_choice)),
              1U);
    EXPECT_EQ(log_->Count("cam_1: failed to choose target trash!"), 1U);
  }
}

// Real-time cameras rewrite their list on every frame while the service reads
// it; run under ThreadSanitizer this must stay quiet.
TEST_F(DetectServiceTest, ConcurrentFramesNeverTearTheList) {
  auto cam = Camera(1);
  const std::vector<TrashInfo> frame_a{PieceAtArm(1, 0.3, 0, 0), PieceAtArm(2, 0.2, 0, 0)};
  const std::vector<TrashInfo> frame_b{PieceAtArm(3, 0.1, 0, 0)};
  std::atomic<bool> stop{false};
  std::thread frames([&] {
    bool flip = false;
    while (!stop) {
      cam->FinishDetect(flip ? frame_a : frame_b);
      flip = !flip;
    }
  });
  for (int i = 0; i < 50; ++i) {
    const DetectAnswer answer = Run();
    ASSERT_EQ(answer.error_code, 102200000);
    EXPECT_TRUE(answer.trash_info.class_id == 2 || answer.trash_info.class_id == 3)
        << static_cast<int>(answer.trash_info.class_id);
  }
  stop = true;
  frames.join();
}

// A wait that does not end on the flag shows as a call still blocked long
// after the flag went up; this bound only tells a hang from an answer.
constexpr auto kHangBound = std::chrono::seconds(10);
// Far longer than the hang bound: only a wake-up on the flag ends such a step early.
constexpr auto kLongStep = std::chrono::milliseconds(30000);

// Blocks until the service has logged its first waiting line.
bool SawWaitingLine(test::CaptureSink& log) {
  const auto give_up = std::chrono::steady_clock::now() + kHangBound;
  while (log.Count("waiting detect to complete") == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST_F(DetectServiceTest, WaitEndsOnTheFlagNotOnItsStep) {
  auto cam = Camera(1);
  cam->ArmDetect();
  // A step without the flag ends with the flag still down.
  EXPECT_FALSE(cam->WaitDetectDone(std::chrono::milliseconds(1)));
  auto waiting =
      std::async(std::launch::async, [&] { return WaitForCamera(*cam, 60000, kLongStep); });
  ASSERT_TRUE(SawWaitingLine(*log_));
  cam->FinishDetect({PieceAtArm(2, 0.1, 0, 0)});
  ASSERT_EQ(waiting.wait_for(kHangBound), std::future_status::ready)
      << "the wait did not wake on the done flag";
  EXPECT_TRUE(waiting.get());
  // One step begun, none after the flag.
  EXPECT_EQ(log_->Count("is_camera_1_detect_done_: false"), 1U);
  EXPECT_EQ(log_->Count("waiting detect to complete"), 1U);
  EXPECT_EQ(log_->Count("timeout"), 0U);
  EXPECT_EQ(cam->TakeTrashInfos().size(), 1U);
}

TEST_F(DetectServiceTest, FlagRaisedBeforeTheWaitIsSeenAtOnce) {
  auto cam = Camera(1);
  cam->ArmDetect();
  cam->FinishDetect({PieceAtArm(2, 0.1, 0, 0)});
  auto direct = std::async(std::launch::async, [&] { return cam->WaitDetectDone(kLongStep); });
  ASSERT_EQ(direct.wait_for(kHangBound), std::future_status::ready);
  EXPECT_TRUE(direct.get());
  auto waiting =
      std::async(std::launch::async, [&] { return WaitForCamera(*cam, 60000, kLongStep); });
  ASSERT_EQ(waiting.wait_for(kHangBound), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(log_->Count("waiting detect to complete"), 0U);
}

// The second camera finishes while the service still waits on the first; its
// flag is already up when the service turns to it.
TEST_F(DetectServiceTest, CameraFinishedWhileAnEarlierOneIsAwaitedAnswersWithoutWaiting) {
  auto first = Camera(1);
  auto second = Camera(2);
  first->is_start_detect_ = false;
  second->is_start_detect_ = false;
  std::thread frames([&] {
    while (!(first->is_start_detect_ && second->is_start_detect_)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    second->FinishDetect({PieceAtArm(8, 0.2, 0, 0)});
    first->FinishDetect({});
  });
  const DetectAnswer answer = Run();
  frames.join();
  EXPECT_EQ(answer.error_code, 102200000);
  EXPECT_EQ(answer.trash_info.class_id, 8);
  EXPECT_EQ(log_->Count("cam_1: failed to detect trash need to grab!"), 1U);
  EXPECT_EQ(log_->Count("is_camera_2_detect_done_: false"), 0U);
  EXPECT_FALSE(second->is_detect_done_);
}

// The time-out keeps its lines and answer; a wait that returned without
// waiting would flood the log with waiting lines instead.
TEST_F(DetectServiceTest, TimeOutKeepsOnePairOfLinesPerStep) {
  auto silent = Camera(4);
  silent->is_start_detect_ = false;
  settings_.detect_timeout_ms = 45;
  const DetectAnswer answer = Run();
  EXPECT_EQ(answer.error_code, 0);
  EXPECT_EQ(answer.error_msg, "");
  EXPECT_TRUE(SameRecord(answer.trash_info, TrashInfo{}));
  const auto lines = log_->Lines();
  std::size_t flag_lines = 0;
  std::size_t waiting_lines = 0;
  std::size_t after_timeout = 0;
  bool timed_out = false;
  for (const auto& line : lines) {
    const bool flag_line = line.find("is_camera_4_detect_done_: false") != std::string::npos;
    const bool waiting_line = line.find("waiting detect to complete") != std::string::npos;
    flag_lines += flag_line ? 1 : 0;
    waiting_lines += waiting_line ? 1 : 0;
    after_timeout += (timed_out && (flag_line || waiting_line)) ? 1 : 0;
    timed_out =
        timed_out || line.find("cam_4: trash pose detect process timeout") != std::string::npos;
  }
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(after_timeout, 0U);
  EXPECT_EQ(flag_lines, waiting_lines);
  // Steps of at least 10 ms each: the check after 45 ms is at most the sixth.
  EXPECT_GE(waiting_lines, 1U);
  EXPECT_LE(waiting_lines, 6U);
  EXPECT_FALSE(silent->is_detect_done_);
}

// Runs last in the suite's order of definition: it shuts ROS down and starts it again.
TEST_F(DetectServiceTest, ShutdownCutsAWaitingCallShort) {
  auto silent = Camera(5);
  silent->is_start_detect_ = false;
  settings_.detect_timeout_ms = 600000;
  auto call = std::async(std::launch::async, [&] { return Run(); });
  ASSERT_TRUE(SawWaitingLine(*log_));
  rclcpp::shutdown();
  const bool answered = call.wait_for(kHangBound) == std::future_status::ready;
  if (!answered) {
    // Lets the call end so that the suite can report the failure.
    silent->FinishDetect({});
  }
  ASSERT_TRUE(answered) << "a shutdown did not end the wait";
  const DetectAnswer answer = call.get();
  EXPECT_EQ(answer.error_code, 0);
  EXPECT_EQ(log_->Count("timeout"), 0U);
  EXPECT_EQ(log_->Count("detect completed !"), 1U);
  EXPECT_FALSE(silent->is_detect_done_);
  cameras_.clear();
  silent.reset();
  rclcpp::init(0, nullptr);
}

struct ChoiceCase {
  const char* name;
  std::vector<TrashInfo> pieces;
  bool aim;
  float radius;
  bool chosen;
  int class_id;  // of the chosen piece
};

class ChooseTargetTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseTargetTest, Choice) {
  const ChoiceCase& c = GetParam();
  const TrashInfo aim = PieceAtMap(0, 1.0, 1.0, 0.0);
  TrashInfo target;
  target.class_id = 99;
  const bool chosen =
      DetectionNode::ChooseTargetTrashInfo(c.pieces, c.aim ? &aim : nullptr, c.radius, target);
  EXPECT_EQ(chosen, c.chosen);
  EXPECT_EQ(target.class_id, c.chosen ? c.class_id : 99);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChooseTargetTest,
    ::testing::Values(
        ChoiceCase{"empty", {}, false, 1.0F, false, 0},
        ChoiceCase{"three_d_distance",
                   {PieceAtArm(1, 0.4, 0.4, 0.4), PieceAtArm(2, 0.5, 0.0, 0.0)},
                   false,
                   1.0F,
                   true,
                   2},
        ChoiceCase{"ties_keep_first",
                   {PieceAtArm(1, 0.3, 0.4, 0.0), PieceAtArm(2, 0.0, 0.3, 0.4)},
                   false,
                   1.0F,
                   true,
                   1},
        ChoiceCase{"at_radius_excluded", {PieceAtArm(1, 0.0, 0.0, 0.5)}, false, 0.5F, false, 0},
        ChoiceCase{
            "negative_coordinates", {PieceAtArm(4, -0.2, -0.1, -0.15)}, false, 0.3F, true, 4},
        ChoiceCase{"aim_ignores_arm_pose",
                   {PieceAtArm(1, 0.1, 0.0, 0.0), PieceAtMap(2, 1.02, 1.0, 0.0)},
                   true,
                   0.05F,
                   true,
                   2},
        ChoiceCase{"aim_nearest_of_two",
                   {PieceAtMap(1, 1.04, 1.0, 0.0), PieceAtMap(2, 1.0, 0.98, 0.0)},
                   true,
                   0.05F,
                   true,
                   2},
        ChoiceCase{"aim_height_counts", {PieceAtMap(1, 1.0, 1.0, 0.06)}, true, 0.05F, false, 0}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return info.param.name; });

TEST(TrashInfoMessage, RoundTripKeepsEveryField) {
  TrashInfo info;
  info.class_id = 21;
  info.reserved_1 = 3;
  info.main_axis_type = 4;
  info.reserved_3 = 5;
  double v = 0.5;
  for (PoseRecord* pose : {&info.map_pose, &info.arm_pose, &info.obb_pose}) {
    for (double* f :
         {&pose->px, &pose->py, &pose->pz, &pose->qx, &pose->qy, &pose->qz, &pose->qw}) {
      *f = (v += 0.25);
    }
  }
  info.obb_size[0] = 0.11;
  info.obb_size[1] = 0.07;
  info.obb_size[2] = 0.03;
  const auto msg = ToMsg(info);
  EXPECT_EQ(msg.arm_pose.position.y, info.arm_pose.py);
  EXPECT_EQ(msg.obb_pose.orientation.w, info.obb_pose.qw);
  EXPECT_EQ(msg.obb_size[2], 0.03);
  EXPECT_TRUE(SameRecord(FromMsg(msg), info));
}

}  // namespace
}  // namespace moorwick
