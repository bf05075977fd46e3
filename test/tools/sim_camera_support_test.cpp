#include "sim_camera_support.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <vector>

namespace moorwick_sim {
namespace {

const rclcpp::Time kStamp(1700000000, 250000000);

TEST(SimCameraMessages, DepthImageIsLittleEndianMillimetresFromARegionOfInterest) {
  cv::Mat big(4, 6, CV_16UC1, cv::Scalar(0));
  big.at<std::uint16_t>(1, 2) = 1234;
  big.at<std::uint16_t>(2, 4) = 65535;
  // A view with padded rows must still come out packed.
  const cv::Mat view = big(cv::Rect(1, 1, 4, 2));
  ASSERT_FALSE(view.isContinuous());
  const auto msg = MakeDepthImage(view, kStamp, "cam_optical");
  EXPECT_EQ(msg.encoding, "16UC1");
  EXPECT_EQ(msg.step, 8U);
  ASSERT_EQ(msg.data.size(), 16U);
  // (row 0, col 1) of the view = 1234 = 0x04d2, low byte first.
  const std::vector<std::uint8_t> want{0, 0, 0xd2, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  EXPECT_EQ(msg.data, want);
}

TEST(DetectClientOutput, ComparesAnAnswerWithTheNearestTruthPiece) {
  const auto scene = moorwick_sim::LoadSceneFile(MOORWICK_SOURCE_DIR "/config/demo/scene.yaml");
  const auto truth = moorwick_sim::ComputePieceTruth(scene.scene, 1);
  moorwick_protocol::msg::TrashInfo answer;
  answer.class_id = static_cast<std::uint8_t>(truth.class_index);
  answer.arm_pose.position.x = truth.center.x() + 0.003;
  answer.arm_pose.position.y = truth.center.y() - 0.004;
  answer.arm_pose.position.z = truth.center.z() + 0.02;
  const Comparison c = CompareWithScene(scene, answer);
  EXPECT_EQ(c.truth_index, 1);
  EXPECT_NEAR(c.error.horizontal_mm, 5.0, 1e-6);
  EXPECT_NEAR(c.error.vertical_mm, 20.0, 1e-6);
  EXPECT_TRUE(c.error.ok);
  answer.arm_pose.position.x += 0.02;
  EXPECT_FALSE(CompareWithScene(scene, answer).error.ok);

  const std::string text = FormatTrashInfo(answer);
  EXPECT_NE(text.find("bottle"), std::string::npos) << text;
}

TEST(DetectClientOutput, SavesAnRgbImageAsBgrFileAndRefusesOthers) {
  cv::Mat rgb(4, 6, CV_8UC3, cv::Scalar(10, 20, 200));
  auto msg = std::make_shared<sensor_msgs::msg::Image>(MakeRgbImage(rgb, kStamp, "f"));
  const std::string path = ::testing::TempDir() + "/moorwick_detect_client_test.png";
  std::string problem;
  ASSERT_TRUE(SaveRgbImage(msg, path, problem)) << problem;
  const cv::Mat back = cv::imread(path, cv::IMREAD_COLOR);
  ASSERT_EQ(back.size(), cv::Size(6, 4));
  EXPECT_EQ(back.at<cv::Vec3b>(2, 3), cv::Vec3b(200, 20, 10));  // BGR on disk
  std::remove(path.c_str());

  EXPECT_FALSE(SaveRgbImage(nullptr, path, problem));
  EXPECT_NE(problem.find("no image"), std::string::npos);
  auto depth = std::make_shared<sensor_msgs::msg::Image>(
      MakeDepthImage(cv::Mat(4, 6, CV_16UC1, cv::Scalar(5)), kStamp, "f"));
  EXPECT_FALSE(SaveRgbImage(depth, path, problem));
  EXPECT_NE(problem.find("16UC1"), std::string::npos);
  auto truncated = std::make_shared<sensor_msgs::msg::Image>(*msg);
  truncated->data.resize(10);
  EXPECT_FALSE(SaveRgbImage(truncated, path, problem));
  // An empty image (the node publishes one when it draws nothing) is refused too.
  auto empty = std::make_shared<sensor_msgs::msg::Image>();
  empty->encoding = "rgb8";
  EXPECT_FALSE(SaveRgbImage(empty, path, problem));
}

TEST(DetectClientOutput, OrientationErrorIgnoresTheGrippersHalfTurnSymmetry) {
  const Eigen::Quaterniond down(0.0, 0.0, 1.0, 0.0);  // half turn about y
  auto about_z = [](double deg) {
    return Eigen::Quaterniond(Eigen::AngleAxisd(deg * M_PI / 180.0, Eigen::Vector3d::UnitZ()));
  };
  EXPECT_NEAR(GrabOrientationErrorDeg(down, down), 0.0, 1e-6);
  EXPECT_NEAR(GrabOrientationErrorDeg(down * about_z(10.0), down), 10.0, 1e-6);
  EXPECT_NEAR(GrabOrientationErrorDeg(down * about_z(180.0), down), 0.0, 1e-6);
  // q and -q are one rotation.
  EXPECT_NEAR(GrabOrientationErrorDeg(Eigen::Quaterniond(-down.coeffs()), down), 0.0, 1e-6);
  // A horizontal grab against one from above: a quarter turn.
  const Eigen::Quaterniond side(Eigen::AngleAxisd(M_PI / 2.0, Eigen::Vector3d::UnitY()));
  EXPECT_NEAR(GrabOrientationErrorDeg(down * side, down), 90.0, 1e-6);
}

}  // namespace
}  // namespace moorwick_sim
