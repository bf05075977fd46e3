// The fitted centre's choices that the rendered accuracy suite does not reach:
// shape by geometry when the class says nothing, and the fall-back to the
// visible centre when the fit is wrong. Unknown grab_center_mode values are
// rows of the configuration error table.
#include <gtest/gtest.h>

#include "estimator_fixture.hpp"

namespace moorwick_test {
namespace {

using moorwick::GrabCenterMode;

struct ShapeCase {
  const char* name;
  bool cylinder;
  int class_index;  // what the node passes; -1 unknown
  bool fitted_expected;
};

class FittedCentreChoice : public EstimatorTest, public ::testing::WithParamInterface<ShapeCase> {};

// A lying can and a carton seen from the front camera: with an unknown class
// the fit itself tells them apart and lands within 5 mm of the centre; a
// carton declared a bottle fits no cylinder and keeps the visible result.
TEST_P(FittedCentreChoice, CentreOrVisibleFallback) {
  const ShapeCase& c = GetParam();
  // Without the key the estimator keeps the visible centre.
  auto visible =
      Make([](YAML::Node& root) { root["grab_pose_estimate"].remove("grab_center_mode"); });
  auto fitted =
      Make([](YAML::Node& root) { root["grab_pose_estimate"]["grab_center_mode"] = "fitted"; });
  ASSERT_EQ(est_->grab_center_mode_, GrabCenterMode::kVisible) << "the shipped value";
  PieceCloudOptions options = OptionsFor(*fitted);
  options.noise_sigma = 0.0007;
  options.seed = 5;
  const Shape piece =
      (c.cylinder ? Shape::Cylinder(0.066, 0.115, {-0.5, 0.08, 0.0}, {1.0, 0.7, 0.0})
                  : Shape::Box({0.12, 0.07, 0.04}, {-0.5, 0.08, 0.0}, {0.0, 0.0, 35.0}))
          .RestingOn(options.floor_z);
  const auto source = MakePieceCloud(piece, options);
  Eigen::Vector3f position[2];
  int i = 0;
  for (GrabPoseEstimate* est : {visible.get(), fitted.get()}) {
    est->grab_class_index_ = c.class_index;
    CloudPtr cloud(new Cloud(*source));
    ASSERT_EQ(est->GetInitialGrabPose(cloud), GrabPoseEstimate::kSuccess);
    position[i++] = est->grab_pose_.position;
  }
  const double visible_mm = 1000.0 * (ToD(position[0]) - piece.Center()).head<2>().norm();
  const double fitted_mm = 1000.0 * (ToD(position[1]) - piece.Center()).head<2>().norm();
  if (c.fitted_expected) {
    EXPECT_LE(fitted_mm, 5.0) << "visible " << visible_mm;
    EXPECT_GT(visible_mm, fitted_mm);
  } else {
    EXPECT_EQ(position[1], position[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(Pieces, FittedCentreChoice,
                         ::testing::Values(ShapeCase{"can_unknown_class", true, -1, true},
                                           ShapeCase{"carton_unknown_class", false, -1, true},
                                           ShapeCase{"carton_called_bottle", false, 4, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace moorwick_test
