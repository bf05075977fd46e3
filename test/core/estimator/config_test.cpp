#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "estimator_fixture.hpp"

namespace moorwick_test {
namespace {

YAML::Node Seq(std::initializer_list<double> values) {
  YAML::Node n(YAML::NodeType::Sequence);
  for (double v : values)
    n.push_back(v);
  return n;
}

using ConfigTest = EstimatorTest;

TEST_F(ConfigTest, EveryKeyReachesItsField) {
  using Field = float GrabPoseEstimate::*;
  const std::vector<std::pair<const char*, Field>> table{
      {"base_height", &GrabPoseEstimate::base_height_},
      {"finger2tcp", &GrabPoseEstimate::finger2tcp_},
      {"extra_length_ratio", &GrabPoseEstimate::extra_length_ratio_},
      {"workspace_r_min", &GrabPoseEstimate::workspace_r_min_},
      {"workspace_r_max", &GrabPoseEstimate::workspace_r_max_},
      {"arm_dh_d1", &GrabPoseEstimate::arm_dh_d1_},
      {"arm_dh_a1", &GrabPoseEstimate::arm_dh_a1_},
      {"workspace_angle_min", &GrabPoseEstimate::workspace_angle_min_},
      {"workspace_angle_max", &GrabPoseEstimate::workspace_angle_max_},
      {"grab_vertical_distance_min", &GrabPoseEstimate::grab_vertical_distance_min_},
      {"grab_vertical_distance_max", &GrabPoseEstimate::grab_vertical_distance_max_},
      {"grab_vertical_angle_min", &GrabPoseEstimate::grab_vertical_angle_min_},
      {"grab_vertical_angle_max", &GrabPoseEstimate::grab_vertical_angle_max_},
      {"grab_parallel_distance_min", &GrabPoseEstimate::grab_parallel_distance_min_},
      {"grab_parallel_distance_max", &GrabPoseEstimate::grab_parallel_distance_max_},
      {"grab_parallel_angle_min", &GrabPoseEstimate::grab_parallel_angle_min_},
      {"grab_parallel_angle_max", &GrabPoseEstimate::grab_parallel_angle_max_},
      {"sor_leaf_size", &GrabPoseEstimate::sor_leaf_size_},
      {"pass_ajust_value_1", &GrabPoseEstimate::pass_ajust_value_1_},
      {"pass_ajust_value_2", &GrabPoseEstimate::pass_ajust_value_2_},
      {"pass_ajust_value_3", &GrabPoseEstimate::pass_ajust_value_3_},
      {"tcp_ajust_value", &GrabPoseEstimate::tcp_ajust_value_},
      {"tcp_ajust_threshold", &GrabPoseEstimate::tcp_ajust_threshold_},
      {"extend_height_threshold", &GrabPoseEstimate::extend_height_threshold_},
      {"extend_lenth_threshold", &GrabPoseEstimate::extend_lenth_threshold_},
      {"extend_length_max", &GrabPoseEstimate::extend_length_max_},
      {"transparent_height_ratio", &GrabPoseEstimate::transparent_height_ratio_},
      {"remove_cloud_angle", &GrabPoseEstimate::remove_cloud_angle_},
      {"remove_bottom_height_threshold_1", &GrabPoseEstimate::remove_bottom_height_threshold_1_},
      {"remove_bottom_height_threshold_2", &GrabPoseEstimate::remove_bottom_height_threshold_2_},
      {"remove_bottom_height_threshold_3", &GrabPoseEstimate::remove_bottom_height_threshold_3_},
  };
  // A distinct value per key, so a key read into the wrong field shows.
  const auto value = [](std::size_t i) { return 2.0F + 0.125F * static_cast<float>(i); };
  const auto est = Make([&](YAML::Node& root) {
    for (std::size_t i = 0; i < table.size(); ++i) {
      root["grab_pose_estimate"][table[i].first] = value(i);
    }
    root["grab_pose_estimate"]["sor2_meank_value"] = 40;
    root["grab_pose_estimate"]["min_trash_cloud_size"] = 20;
    root["camera_intrinsic"]["cx"] = 300.5;
    root["debug_choice"]["is_on_floor"] = true;
  });
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ((*est).*table[i].second, value(i)) << table[i].first;
  }
  EXPECT_EQ(est->sor2_meank_value_, 40);
  EXPECT_EQ(est->min_trash_cloud_size_, 20U);
  EXPECT_EQ(est->cx_, 300.5F);
  EXPECT_TRUE(est->is_on_floor_);
}

struct EulerCase {
  const char* name;
  double rx, ry, rz;
  Eigen::Vector3f from, to;
};

class EulerConventionTest : public ConfigTest, public ::testing::WithParamInterface<EulerCase> {};

TEST_P(EulerConventionTest, FixedCameraRotatesXFirstThenYThenZ) {
  const EulerCase& c = GetParam();
  const auto est = Make([&](YAML::Node& root) {
    root["camera_extrinsic"]["is_use_euler"] = true;
    root["camera_extrinsic"]["Rxyz"] = Seq({c.rx, c.ry, c.rz});
    root["camera_extrinsic"]["Txyz"] = Seq({0.1, -0.2, 0.3});
  });
  const Eigen::Matrix3f r = Rotation(est->camera_extrinsic_);
  EXPECT_TRUE((r * c.from).isApprox(c.to, 1e-6F)) << (r * c.from).transpose();
  EXPECT_TRUE(Translation(est->camera_extrinsic_).isApprox(Eigen::Vector3f(0.1F, -0.2F, 0.3F)));
  EXPECT_TRUE(est->camera_extrinsic_.row(3).isApprox(Eigen::RowVector4f(0, 0, 0, 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EulerConventionTest,
    ::testing::Values(EulerCase{"rx90_y_to_z", 90, 0, 0, {0, 1, 0}, {0, 0, 1}},
                      EulerCase{"rz90_x_to_y", 0, 0, 90, {1, 0, 0}, {0, 1, 0}},
                      // x about fixed x first, then z: x -> x -> y; the other order gives z.
                      EulerCase{"rx90_rz90_x", 90, 0, 90, {1, 0, 0}, {0, 1, 0}},
                      EulerCase{"ry90_rz90_x", 0, 90, 90, {1, 0, 0}, {0, 0, -1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigTest, DataMatrixIsRowMajor) {
  const auto est = Make([](YAML::Node& root) {
    root["camera_extrinsic"]["is_use_euler"] = false;
    root["camera_extrinsic"]["data"] = Seq({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  });
  Eigen::Matrix4f expected;
  expected << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16;
  EXPECT_EQ(est->camera_extrinsic_, expected);
}

TEST_F(ConfigTest, EyeOnHandComposesFlangeAndCameraAndIgnoresData) {
  const auto est = Make([](YAML::Node& root) {
    YAML::Node e = root["camera_extrinsic"];
    e["is_eye_on_hand"] = true;
    e["is_use_euler"] = false;
    e["base2flange_euler"] = Seq({0, 0, 90});
    e["base2flange_T"] = Seq({0.1, 0.2, 0.3});
    e["flange2camera"] = Seq({1, 0, 0, 0.01, 0, 1, 0, 0.02, 0, 0, 1, 0.03, 0, 0, 0, 1});
    e["data"] = Seq({9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
  });
  // base_from_camera = base_from_flange * flange_from_camera: the camera offset
  // is turned by the flange's 90 degree yaw before the flange position is added.
  EXPECT_TRUE(Translation(est->camera_extrinsic_)
                  .isApprox(Eigen::Vector3f(0.1F - 0.02F, 0.2F + 0.01F, 0.33F), 1e-6F))
      << est->camera_extrinsic_;
  EXPECT_TRUE((Rotation(est->camera_extrinsic_) * Eigen::Vector3f::UnitX())
                  .isApprox(Eigen::Vector3f::UnitY(), 1e-6F));
  EXPECT_TRUE(est->base2flange_T_.isApprox(Eigen::Vector3f(0.1F, 0.2F, 0.3F)));
}

TEST_F(ConfigTest, EyeOnHandWithEulerFlangeToCamera) {
  const auto est = Make([](YAML::Node& root) {
    YAML::Node e = root["camera_extrinsic"];
    e["is_eye_on_hand"] = true;
    e["is_use_euler"] = true;
    e["base2flange_euler"] = Seq({0, 0, 90});
    e["base2flange_T"] = Seq({0.0, 0.0, 0.5});
    e["flange2camera_euler"] = Seq({90, 0, 0});
    e["flange2camera_T"] = Seq({0.0, 0.0, 0.1});
  });
  const Eigen::Matrix3f r = Rotation(est->camera_extrinsic_);
  // Rz(90) * Rx(90): y -> z -> z, x -> x -> y.
  EXPECT_TRUE((r * Eigen::Vector3f::UnitY()).isApprox(Eigen::Vector3f::UnitZ(), 1e-6F));
  EXPECT_TRUE((r * Eigen::Vector3f::UnitX()).isApprox(Eigen::Vector3f::UnitY(), 1e-6F));
  EXPECT_TRUE(Translation(est->camera_extrinsic_).isApprox(Eigen::Vector3f(0, 0, 0.6F)));
}

TEST_F(ConfigTest, DebugFolderPathsAreJoinedWithoutSeparatorAndCreated) {
  const std::string folder = (dir_ / "d").string() + "/";
  const auto est = Make([&](YAML::Node& root) {
    root["debug_choice"]["folder_path"] = folder;
    root["debug_choice"]["trash_code"] = "c";
    root["debug_choice"]["trash_test_pose"] = "p";
    root["debug_choice"]["file_name_suffix"] = "s";
  });
  EXPECT_EQ(est->data_folder_, folder + "c");
  EXPECT_EQ(est->data_file_prefix_, folder + "c/cps");
  EXPECT_EQ(est->missing_detect_prefix_, folder + "mising_detect/c/cps");
  EXPECT_TRUE(boost::filesystem::is_directory(folder + "c"));
  EXPECT_TRUE(boost::filesystem::is_directory(folder + "mising_detect/c"));
}

TEST_F(ConfigTest, UncreatableFolderThrowsFilesystemError) {
  const std::string blocker = (dir_ / "plain_file").string();
  std::ofstream(blocker) << "x";
  EXPECT_THROW(Make([&](YAML::Node& root) { root["debug_choice"]["folder_path"] = blocker + "/"; }),
               boost::filesystem::filesystem_error);
}

}  // namespace
}  // namespace moorwick_test
