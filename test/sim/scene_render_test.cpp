#include "moorwick_sim/scene_render.hpp"
#include "moorwick_sim/scene_file.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace moorwick_test {
using namespace moorwick_sim;  // the scene builders are this suite's vocabulary
namespace {

// Camera 1 m above the floor (z = 0) looking straight down: base x runs down
// the image rows, base y to the right.
PinholeCamera DownCamera() {
  return PinholeCamera::LookingAt({0.0, 0.0, 1.0}, {0.0, 0.0, 0.0}, 200.0, 200.0, 64, 48);
}

// A 0.15 (x) by 0.10 (y) by 0.10 (z) box on the floor under the camera.
SceneDescription BoxUnderCamera() {
  return {0.0,
          {{100, 100, 100}},
          {{"", 17, "", Shape::Box({0.15, 0.10, 0.10}, {0.0, 0.0, 0.05}), {{250, 120, 10}}}},
          DownCamera()};
}

// The demo's front camera: 0.30 m above the base origin, looking along -x and
// 50 degrees down, 640 x 360.
PinholeCamera FrontCamera() {
  return LoadSceneFile(MOORWICK_SOURCE_DIR "/config/demo/scene.yaml").scene.camera;
}

constexpr double kFloor = -0.176;

// A box lying to the camera's right (+y) and a bottle standing to its left.
SceneDescription FrontScene() {
  const Shape lying = Shape::Box({0.12, 0.06, 0.04}, {-0.45, 0.10, 0.0}, {0.0, 0.0, 30.0});
  const Shape standing = Shape::Cylinder(0.06, 0.15, {-0.40, -0.15, 0.0}, {0.0, 0.0, 1.0});
  return {kFloor,
          {{128, 128, 128}},
          {{"", 17, "", lying.RestingOn(kFloor), {{230, 120, 20}}},
           {"", 4, "", standing.RestingOn(kFloor), {{30, 80, 220}}}},
          FrontCamera()};
}

TEST(RenderScene, MaskColourAndTruthOfBoxUnderCamera) {
  const SceneDescription scene = BoxUnderCamera();
  const RenderedFrame frame = RenderScene(scene, {});
  ASSERT_EQ(frame.masks.size(), 1U);
  ASSERT_EQ(frame.masks[0].type(), CV_8UC1);
  // Top face projected: u in 31.5 -+ 200 * 0.05 / 0.9 -> columns 21..42,
  // v in 23.5 -+ 200 * 0.075 / 0.9 -> rows 7..40. The sides face away.
  const cv::Rect expected(21, 7, 22, 34);
  cv::Mat want_mask = cv::Mat::zeros(frame.rgb.size(), CV_8UC1);
  want_mask(expected).setTo(1);
  EXPECT_EQ(cv::countNonZero(frame.masks[0] != want_mask), 0);
  cv::Mat want_index(frame.rgb.size(), CV_32SC1, cv::Scalar(-1));
  want_index(expected).setTo(0);
  EXPECT_EQ(cv::countNonZero(frame.piece_index != want_index), 0);
  cv::Mat want_rgb(frame.rgb.size(), CV_8UC3, cv::Scalar(100, 100, 100));
  want_rgb(expected).setTo(cv::Scalar(250, 120, 10));
  EXPECT_EQ(cv::norm(frame.rgb, want_rgb, cv::NORM_INF), 0.0);
  ASSERT_EQ(frame.truth.size(), 1U);
  EXPECT_EQ(frame.truth[0].bbox, expected);
  EXPECT_EQ(frame.truth[0].visible_pixels, expected.area());
  EXPECT_EQ(frame.truth[0].depth_pixels, expected.area());
  EXPECT_EQ(frame.truth[0].class_index, 17);
  EXPECT_TRUE(frame.truth[0].center.isApprox(Eigen::Vector3d(0.0, 0.0, 0.05)));
}

TEST(RenderScene, DepthAndMasksAgreeWithTheGeometry) {
  // The node's own back-projection (x = (u - cx) z / fx, y = (v - cy) z / fy)
  // followed by the camera pose must land on the piece of the mask, or on the
  // floor: one millimetre of quantisation, a little more at grazing angles.
  const SceneDescription scene = FrontScene();
  const RenderedFrame frame = RenderScene(scene, {});
  int on_pieces = 0;
  for (int v = 0; v < frame.depth.rows; v += 3) {
    for (int u = 0; u < frame.depth.cols; u += 3) {
      const std::uint16_t mm = frame.depth.at<std::uint16_t>(v, u);
      if (mm == 0)
        continue;
      const PinholeCamera& c = scene.camera;
      const double z = mm / 1000.0;
      const Eigen::Vector3d p =
          c.base_from_camera * Eigen::Vector3d((u - c.cx) * z / c.fx, (v - c.cy) * z / c.fy, z);
      const int index = frame.piece_index.at<std::int32_t>(v, u);
      if (index < 0) {
        ASSERT_NEAR(p.z(), kFloor, 0.004) << "floor pixel " << u << "," << v;
      } else {
        ASSERT_TRUE(scene.pieces[static_cast<std::size_t>(index)].shape.Contains(p, 0.003))
            << "piece " << index << " pixel " << u << "," << v << " -> " << p.transpose();
        ++on_pieces;
      }
    }
  }
  EXPECT_GT(on_pieces, 50);
  EXPECT_GT(frame.truth[0].visible_pixels, 300);
  EXPECT_GT(frame.truth[1].visible_pixels, 300);
  // The lying box is to the camera's right (+y), the bottle to its left.
  EXPECT_GT(frame.truth[0].bbox.x, frame.truth[1].bbox.x + frame.truth[1].bbox.width);
}

TEST(RenderScene, NearerPieceHidesThePieceBehindIt) {
  SceneDescription scene = BoxUnderCamera();
  ScenePiece lid = scene.pieces[0];
  lid.shape = Shape::Box({0.05, 0.05, 0.02}, {0.0, 0.0, 0.11});  // on top of the box
  lid.color = {{10, 200, 10}};
  scene.pieces.push_back(lid);
  const RenderedFrame frame = RenderScene(scene, {});
  EXPECT_EQ(frame.piece_index.at<std::int32_t>(23, 31), 1);
  EXPECT_EQ(frame.masks[0].at<std::uint8_t>(23, 31), 0);
  EXPECT_EQ(frame.depth.at<std::uint16_t>(23, 31), 880);
  EXPECT_EQ(cv::countNonZero(frame.masks[0] & frame.masks[1]), 0);
  EXPECT_EQ(frame.truth[0].visible_pixels + frame.truth[1].visible_pixels, 22 * 34);
}

TEST(RenderScene, SeededNoiseIsRepeatableAndOfTheAskedSize) {
  const SceneDescription scene = BoxUnderCamera();
  const RenderOptions noisy{42, 0.004, 6};  // seed, depth sigma (m), colour noise
  const RenderedFrame a = RenderScene(scene, noisy);
  const RenderedFrame b = RenderScene(scene, noisy);
  EXPECT_EQ(cv::countNonZero(a.depth != b.depth), 0);
  EXPECT_EQ(cv::norm(a.rgb, b.rgb, cv::NORM_INF), 0.0);
  // Against the noiseless frame: depth off by N(0, 4 mm), colour by up to 6.
  const RenderedFrame clean = RenderScene(scene, {});
  cv::Mat err;
  cv::subtract(a.depth, clean.depth, err, cv::noArray(), CV_64F);
  cv::Scalar mean, sd;
  cv::meanStdDev(err, mean, sd);
  EXPECT_NEAR(mean[0], 0.0, 0.5);
  EXPECT_NEAR(sd[0], 4.0, 0.5);
  EXPECT_NEAR(cv::norm(a.rgb, clean.rgb, cv::NORM_INF), 5.0, 1.0);
  // Masks come from geometry, not from noisy colour or depth.
  EXPECT_EQ(a.truth[0].visible_pixels, 22 * 34);
}

TEST(RenderScene, TransparentPieceKeepsColourAndMaskButLosesMostDepth) {
  SceneDescription scene = BoxUnderCamera();
  scene.pieces[0].transparent = true;
  const RenderedFrame frame = RenderScene(scene, {1, 0.0, 0, 0.2});  // 20 % of depth returns
  const PieceTruth& t = frame.truth[0];
  EXPECT_TRUE(t.transparent);
  EXPECT_EQ(t.visible_pixels, 22 * 34);
  EXPECT_NEAR(static_cast<double>(t.depth_pixels) / t.visible_pixels, 0.2, 0.06);
  // The returns it keeps are true surface depths; the floor is untouched.
  const cv::Mat top = frame.depth(cv::Rect(21, 7, 22, 34));
  EXPECT_EQ(cv::countNonZero((top != 0) & (top != 900)), 0);
  EXPECT_EQ(frame.depth.at<std::uint16_t>(0, 0), 1000);
  EXPECT_EQ(frame.rgb.at<cv::Vec3b>(23, 31), cv::Vec3b(250, 120, 10));
}

struct AxisCase {
  const char* name;
  Shape shape;
  int type;
  Eigen::Vector3d axis;
};

class PieceTruthTest : public ::testing::TestWithParam<AxisCase> {};

TEST_P(PieceTruthTest, MainAxisTypeAndSign) {
  SceneDescription scene;
  scene.pieces = {{"", 0, "", GetParam().shape}};
  const PieceTruth t = ComputePieceTruth(scene, 0);
  EXPECT_EQ(t.main_axis_type, GetParam().type);
  EXPECT_TRUE(t.main_axis.isApprox(GetParam().axis, 1e-9)) << t.main_axis.transpose();
  EXPECT_NEAR(t.grab_orientation.norm(), 1.0, 1e-12);
}

const double kC30 = std::cos(M_PI / 6.0);
const double kS30 = 0.5;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Shapes, PieceTruthTest,
    ::testing::Values(
        AxisCase{"box_along_x", Shape::Box({0.2, 0.05, 0.03}, {-0.5, 0, 0}), 1, {1, 0, 0}},
        AxisCase{"box_yawed_150_flips_to_plus_x",
                 Shape::Box({0.2, 0.05, 0.03}, {-0.5, 0, 0}, {0, 0, 150}), 1, {kC30, -kS30, 0}},
        AxisCase{"longest_side_along_local_y",
                 Shape::Box({0.05, 0.2, 0.03}, {-0.5, 0, 0}, {0, 0, 30}), 1, {kS30, -kC30, 0}},
        AxisCase{"standing_cylinder_points_down",
                 Shape::Cylinder(0.06, 0.15, {-0.4, 0, 0}, {0, 0, 1}), 2, {0, 0, -1}},
        AxisCase{"cylinder_30_deg_up",
                 Shape::Cylinder(0.05, 0.2, {-0.4, 0, 0}, {-kC30, 0, kS30}), 3, {kC30, 0, -kS30}},
        AxisCase{"cylinder_60_deg_up",
                 Shape::Cylinder(0.05, 0.2, {-0.4, 0, 0}, {kS30, 0, kC30}), 4, {-kS30, 0, -kC30}}),
    [](const ::testing::TestParamInfo<AxisCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(PieceTruth, GrabOrientations) {
  SceneDescription scene;
  const Eigen::Vector3d up(0.0, 0.0, 1.0);
  scene.pieces = {{"lying", 0, "", Shape::Box({0.2, 0.05, 0.03}, {-0.5, 0.0, 0.0})},
                  {"standing", 0, "", Shape::Cylinder(0.06, 0.15, {-0.5, 0.0, 0.0}, up)},
                  {"standing left", 0, "", Shape::Cylinder(0.06, 0.15, {-0.5, -0.5, 0.0}, up)}};
  // Lying along x: the gripper points down, turned half about y.
  const Eigen::Quaterniond q0 = ComputePieceTruth(scene, 0).grab_orientation;
  EXPECT_TRUE(q0.coeffs().isApprox(Eigen::Vector4d(0, 1, 0, 0), 1e-12)) << q0.coeffs().transpose();
  // Standing on the -x axis: down then a quarter turn about y, (0, .707, 0, -.707).
  const Eigen::Quaterniond q1 = ComputePieceTruth(scene, 1).grab_orientation;
  EXPECT_TRUE(q1.coeffs().isApprox(Eigen::Vector4d(0, M_SQRT1_2, 0, -M_SQRT1_2), 1e-12))
      << q1.coeffs().transpose();
  // Horizontal grab: the approach direction (tool z) is horizontal and points
  // from the arm towards the piece.
  const Eigen::Vector3d approach =
      ComputePieceTruth(scene, 2).grab_orientation * Eigen::Vector3d::UnitZ();
  EXPECT_NEAR(approach.z(), 0.0, 1e-12);
  EXPECT_TRUE(approach.isApprox(Eigen::Vector3d(-M_SQRT1_2, -M_SQRT1_2, 0.0), 1e-9))
      << approach.transpose();
  EXPECT_THROW(ComputePieceTruth(scene, 3), std::out_of_range);
}

TEST(CompareGrab, HorizontalToleranceAndHeightRange) {
  PieceTruth t;
  t.center = Eigen::Vector3d(-0.5, 0.1, -0.116);
  t.lowest_z = -0.176;
  t.highest_z = -0.056;
  struct Case {
    Eigen::Vector3d grab;
    double horizontal, vertical;
    bool ok;
  };
  const Case cases[] = {
      {{-0.5, 0.1, -0.116}, 0.0, 0.0, true},
      {{-0.506, 0.108, -0.116}, 10.0, 0.0, true},     // exactly at the tolerance
      {{-0.506, 0.1081, -0.116}, 10.08, 0.0, false},  // just past it
      {{-0.5, 0.1, -0.066}, 0.0, 50.0, true},         // high, still on the piece
      {{-0.5, 0.1, -0.050}, 0.0, 66.0, false},        // above the piece
      {{-0.5, 0.1, -0.1765}, 0.0, -60.5, true},       // at the floor, within slack
      {{-0.5, 0.1, -0.180}, 0.0, -64.0, false},       // under the floor
  };
  for (const Case& c : cases) {
    const GrabError e = CompareGrab(t, c.grab);
    EXPECT_NEAR(e.horizontal_mm, c.horizontal, 0.01) << c.grab.transpose();
    EXPECT_NEAR(e.vertical_mm, c.vertical, 1e-6) << c.grab.transpose();
    EXPECT_NEAR(e.total_mm, std::hypot(c.horizontal, c.vertical), 0.01);
    EXPECT_EQ(e.ok, c.ok) << c.grab.transpose();
  }
  EXPECT_FALSE(CompareGrab(t, {-0.52, 0.1, -0.116}, 10.0).ok);
  EXPECT_TRUE(CompareGrab(t, {-0.52, 0.1, -0.116}, 25.0).ok);
}

}  // namespace
}  // namespace moorwick_test
