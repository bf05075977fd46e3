#include "moorwick_sim/scene_file.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <string>

namespace moorwick_test {
using namespace moorwick_sim;  // the scene builders are this suite's vocabulary
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

const char* const kScene = R"(
camera:
  frame_id: cam_a_optical
  width: 320
  height: 240
  fx: 300.0
  fy: 310.0
  cx: 160.0
  cy: 120.0
  rate_hz: 5
  pose_in_arm_base: {position: [-0.05, 0.0, 0.30], rpy_deg: [-140.0, 0.0, 90.0]}
topics: {rgb: /a/rgb, depth: /a/depth, camera_info: /a/info}
frames:
  arm_base: arm_base_link
  map: world
  arm_base_in_map: {position: [1.0, 2.0, 0.176], rpy_deg: [0.0, 0.0, 90.0]}
floor: {z: -0.176, color: [120, 120, 120]}
noise: {seed: 9, depth_sigma_mm: 2.0, color: 3, transparent_return_fraction: 0.1}
pieces:
  - {name: carton, class: carton_box, shape: box, size: [0.12, 0.06, 0.04],
     position: [-0.45, 0.1, 0.5], rpy_deg: [0, 0, 30], color: [230, 120, 20]}
  - {class: bottle, shape: cylinder, diameter: 0.06, length: 0.15, axis: [0, 0, 2],
     position: [-0.4, -0.1, 0.0], color: [30, 80, 220], transparent: true}
  - {class: paper, shape: box, size: [0.1, 0.1, 0.01], position: [-0.5, 0.0, -0.1],
     on_floor: false, color: [230, 210, 30]}
)";

TEST(SceneFile, ParsesEverySection) {
  const SceneFile f = ParseSceneFile(YAML::Load(kScene), "inline");
  EXPECT_EQ(f.camera_frame_id, "cam_a_optical");
  EXPECT_DOUBLE_EQ(f.scene.camera.fy, 310.0);
  EXPECT_DOUBLE_EQ(f.rate_hz, 5.0);
  EXPECT_TRUE(
      f.scene.camera.base_from_camera.translation().isApprox(Eigen::Vector3d(-0.05, 0.0, 0.30)));
  // rpy (-140, 0, 90): the optical axis looks along -x and 50 degrees down.
  const double down = 50.0 * M_PI / 180.0;
  EXPECT_TRUE(f.scene.camera.base_from_camera.linear().col(2).isApprox(
      Eigen::Vector3d(-std::cos(down), 0.0, -std::sin(down)), 1e-12));
  EXPECT_EQ(f.camera_info_topic, "/a/info");
  EXPECT_TRUE(f.map_from_arm_base.translation().isApprox(Eigen::Vector3d(1.0, 2.0, 0.176)));
  EXPECT_TRUE((f.map_from_arm_base.linear() * Eigen::Vector3d::UnitX())
                  .isApprox(Eigen::Vector3d::UnitY(), 1e-12));
  EXPECT_DOUBLE_EQ(f.render.depth_sigma_m, 0.002);  // given in mm

  ASSERT_EQ(f.scene.pieces.size(), 3U);
  const ScenePiece& carton = f.scene.pieces[0];
  EXPECT_EQ(carton.name, "carton");
  EXPECT_EQ(carton.class_index, 17);  // class id 18
  // Resting on the floor: the given z is replaced.
  EXPECT_NEAR(carton.shape.LowestZ(), -0.176, 1e-12);
  EXPECT_NEAR(carton.shape.Center().z(), -0.156, 1e-12);
  const ScenePiece& bottle = f.scene.pieces[1];
  EXPECT_EQ(bottle.name, "bottle");  // named after its class
  EXPECT_EQ(bottle.class_index, 4);
  EXPECT_TRUE(bottle.transparent);
  EXPECT_EQ(bottle.shape.kind, Shape::Kind::kCylinder);
  EXPECT_TRUE(bottle.shape.Axis().isApprox(Eigen::Vector3d::UnitZ(), 1e-12));
  EXPECT_NEAR(bottle.shape.Center().z(), -0.176 + 0.075, 1e-12);
  const ScenePiece& paper = f.scene.pieces[2];
  EXPECT_EQ(paper.class_index, 0);
  EXPECT_NEAR(paper.shape.Center().z(), -0.1, 1e-12);  // on_floor false keeps z
  EXPECT_FALSE(paper.transparent);
}

TEST(SceneFile, DefaultsForOptionalSections) {
  const char* const minimal = R"(
camera: {width: 64, height: 48, fx: 50, fy: 50, cx: 32, cy: 24,
         pose_in_arm_base: {position: [0, 0, 1], rpy_deg: [180, 0, 0]}}
floor: {z: 0.0, color: [1, 2, 3]}
)";
  const SceneFile f = ParseSceneFile(YAML::Load(minimal), "inline");
  EXPECT_EQ(f.camera_frame_id, "camera_color_optical_frame");
  EXPECT_EQ(f.map_frame_id, "map");
  EXPECT_TRUE(f.map_from_arm_base.isApprox(Eigen::Isometry3d::Identity()));
  EXPECT_EQ(f.rgb_topic, "/camera/color/image_raw");
  EXPECT_DOUBLE_EQ(f.render.depth_sigma_m, 0.0);
  EXPECT_TRUE(f.scene.pieces.empty());
}

struct BadCase {
  const char* name;
  const char* find;     // text of the valid scene to replace
  const char* replace;  // with this
  const char* message;  // expected in the error
};

class SceneFileErrors : public ::testing::TestWithParam<BadCase> {};

TEST_P(SceneFileErrors, NameTheProblem) {
  std::string text = kScene;
  const auto at = text.find(GetParam().find);
  ASSERT_NE(at, std::string::npos) << GetParam().find;
  text.replace(at, std::string(GetParam().find).size(), GetParam().replace);
  EXPECT_THAT([&] { ParseSceneFile(YAML::Load(text), "scene.yaml"); },
              ThrowsMessage<std::runtime_error>(
                  AllOf(HasSubstr("scene.yaml"), HasSubstr(GetParam().message))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SceneFileErrors,
    ::testing::Values(
        BadCase{"unknown_class", "class: carton_box", "class: sofa", "unknown class 'sofa'"},
        BadCase{"unknown_shape", "shape: box, size: [0.12", "shape: cone, size: [0.12",
                "shape 'cone'"},
        BadCase{"negative_size", "size: [0.12, 0.06, 0.04]", "size: [0.12, -0.06, 0.04]",
                "'size' must be positive"},
        BadCase{"zero_axis", "axis: [0, 0, 2]", "axis: [0, 0, 0]", "'axis'"},
        BadCase{"colour_range", "color: [30, 80, 220]", "color: [30, 80, 256]", "'color'"},
        BadCase{"missing_fx", "fx: 300.0", "fz: 300.0", "'fx'"},
        BadCase{"zero_fx", "fx: 300.0", "fx: 0.0", "'fx' must be positive"},
        BadCase{"zero_width", "width: 320", "width: 0", "width and height"},
        BadCase{"text_for_number", "fy: 310.0", "fy: fast", "'fy'"},
        BadCase{"missing_pose", "pose_in_arm_base", "pose_in_base", "pose_in_arm_base"},
        BadCase{"missing_floor", "floor:", "ground:", "'floor'"},
        BadCase{"rate", "rate_hz: 5", "rate_hz: 0", "rate_hz"},
        BadCase{"noise_fraction", "transparent_return_fraction: 0.1",
                "transparent_return_fraction: 1.5", "noise"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(SceneFile, UnreadableFileNamesThePath) {
  EXPECT_THAT([] { LoadSceneFile("/nonexistent/scene.yaml"); },
              ThrowsMessage<std::runtime_error>(HasSubstr("/nonexistent/scene.yaml")));
}

}  // namespace
}  // namespace moorwick_test
