#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "estimator_fixture.hpp"

namespace moorwick_test {
namespace {

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

// camera_extrinsic keys over the shipped ones, and where the camera's x and y
// axes and origin land in the base frame.
struct ExtrinsicCase {
  const char* name;
  const char* keys;
  Eigen::Vector3f x_to, y_to, origin;
};

class ExtrinsicTest : public ConfigTest, public ::testing::WithParamInterface<ExtrinsicCase> {};

TEST_P(ExtrinsicTest, CameraAxesAndOrigin) {
  const ExtrinsicCase& c = GetParam();
  const auto est = Make([&](YAML::Node& root) {
    for (const auto& key : YAML::Load(c.keys)) {
      root["camera_extrinsic"][key.first.as<std::string>()] = key.second;
    }
  });
  const Eigen::Matrix4f& m = est->camera_extrinsic_;
  EXPECT_TRUE((Rotation(m) * Eigen::Vector3f::UnitX()).isApprox(c.x_to, 1e-6F)) << m;
  EXPECT_TRUE((Rotation(m) * Eigen::Vector3f::UnitY()).isApprox(c.y_to, 1e-6F)) << m;
  EXPECT_TRUE(Translation(m).isApprox(c.origin, 1e-6F)) << m;
  EXPECT_EQ(m.row(3), Eigen::RowVector4f(0, 0, 0, 1));
}

const Eigen::Vector3f kShippedOrigin(-0.05F, 0.0F, 0.3F);
INSTANTIATE_TEST_SUITE_P(
    Cases, ExtrinsicTest,
    ::testing::Values(
        // Fixed axes, x first, then y, then z.
        ExtrinsicCase{"rx90", "{Rxyz: [90, 0, 0]}", {1, 0, 0}, {0, 0, 1}, kShippedOrigin},
        ExtrinsicCase{"rz90", "{Rxyz: [0, 0, 90]}", {0, 1, 0}, {-1, 0, 0}, kShippedOrigin},
        ExtrinsicCase{"rx90_rz90", "{Rxyz: [90, 0, 90]}", {0, 1, 0}, {0, 0, 1}, kShippedOrigin},
        ExtrinsicCase{"ry90_rz90", "{Rxyz: [0, 90, 90]}", {0, 0, -1}, {-1, 0, 0}, kShippedOrigin},
        ExtrinsicCase{
            "data_row_major",
            "{is_use_euler: false, data: [0, -1, 0, 4, 1, 0, 0, 8, 0, 0, 1, 12, 0, 0, 0, 1]}",
            {0, 1, 0},
            {-1, 0, 0},
            {4, 8, 12}},
        // base_from_camera = base_from_flange * flange_from_camera: the camera
        // offset turns with the flange's yaw; data is ignored.
        ExtrinsicCase{
            "eye_on_hand_matrix",
            "{is_eye_on_hand: true, is_use_euler: false, base2flange_euler: [0, 0, 90], "
            "base2flange_T: [0.1, 0.2, 0.3], data: [9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, "
            "9, 9, 9], flange2camera: [1, 0, 0, 0.01, 0, 1, 0, 0.02, 0, 0, 1, 0.03, 0, 0, "
            "0, 1]}",
            {0, 1, 0},
            {-1, 0, 0},
            {0.08F, 0.21F, 0.33F}},
        ExtrinsicCase{"eye_on_hand_euler",
                      "{is_eye_on_hand: true, is_use_euler: true, base2flange_euler: [0, 0, 90], "
                      "base2flange_T: [0, 0, 0.5], flange2camera_euler: [90, 0, 0], "
                      "flange2camera_T: [0, 0, 0.1]}",
                      {0, 1, 0},
                      {0, 0, 1},
                      {0, 0, 0.6F}}),
    [](const auto& info) { return std::string(info.param.name); });

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
