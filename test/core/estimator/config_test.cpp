#include <gtest/gtest.h>

#include <cmath>

#include "estimator_fixture.hpp"

namespace moorwick_test {
namespace {

using moorwick::GrabPoseEstimate;

YAML::Node Seq(std::initializer_list<double> values) {
  YAML::Node n(YAML::NodeType::Sequence);
  for (double v : values)
    n.push_back(v);
  return n;
}

class ConfigTest : public EstimatorTest {};

TEST_F(ConfigTest, ShippedFilesLoadWithRobotValues) {
  const auto cam1 = Make();
  EXPECT_FLOAT_EQ(cam1->base_height_, 0.176F);
  EXPECT_EQ(cam1->min_trash_cloud_size_, 34u);
  EXPECT_EQ(cam1->sor2_meank_value_, 50);
  EXPECT_FLOAT_EQ(cam1->fx_, 326.9F);
  EXPECT_FALSE(cam1->is_eye_on_hand_);
  EXPECT_TRUE(cam1->is_use_euler_);
  EXPECT_TRUE(Translation(cam1->camera_extrinsic_).isApprox(Eigen::Vector3f(-0.05F, 0, 0.3F)));
  // The front camera looks along -x and down.
  const Eigen::Vector3f optical_axis = cam1->camera_extrinsic_.block<3, 1>(0, 2);
  EXPECT_LT(optical_axis.x(), -0.5F);
  EXPECT_LT(optical_axis.z(), -0.5F);
  EXPECT_NEAR(optical_axis.y(), 0.0F, 1e-6F);
  EXPECT_FLOAT_EQ(cam1->pass_ajust_value_, 0.003F);
  EXPECT_EQ(cam1->main_axis_type_, 1);

  const GrabPoseEstimate cam2(WriteConfig({}, "cam2_pose_estimate_config.yaml"));
  EXPECT_TRUE(cam2.is_eye_on_hand_);
  EXPECT_TRUE(cam2.camera_extrinsic_.isApprox(cam2.base2flange_ * cam2.flange2camera_));
  EXPECT_LT(cam2.camera_extrinsic_(2, 2), -0.5F);  // wrist camera looks down too
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
  const Eigen::Matrix3f r = est->camera_extrinsic_.block<3, 3>(0, 0);
  EXPECT_TRUE((r * c.from).isApprox(c.to, 1e-6F)) << (r * c.from).transpose();
  EXPECT_TRUE(r.isUnitary(1e-6F));
  EXPECT_TRUE(Translation(est->camera_extrinsic_).isApprox(Eigen::Vector3f(0.1F, -0.2F, 0.3F)));
  EXPECT_TRUE(est->camera_extrinsic_.row(3).isApprox(Eigen::RowVector4f(0, 0, 0, 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EulerConventionTest,
    ::testing::Values(EulerCase{"rx90_y_to_z", 90, 0, 0, {0, 1, 0}, {0, 0, 1}},
                      EulerCase{"rz90_x_to_y", 0, 0, 90, {1, 0, 0}, {0, 1, 0}},
                      EulerCase{"ry90_x_to_minus_z", 0, 90, 0, {1, 0, 0}, {0, 0, -1}},
                      // x about fixed x first, then z: x -> x -> y; the other order gives z.
                      EulerCase{"rx90_rz90_x", 90, 0, 90, {1, 0, 0}, {0, 1, 0}},
                      EulerCase{"rx90_rz90_z", 90, 0, 90, {0, 0, 1}, {1, 0, 0}},
                      EulerCase{"ry90_rz90_x", 0, 90, 90, {1, 0, 0}, {0, 0, -1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigTest, DataMatrixIsRowMajor) {
  const auto est = Make([](YAML::Node& root) {
    root["camera_extrinsic"]["is_use_euler"] = false;
    root["camera_extrinsic"]["data"] = Seq({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  });
  // 4th, 8th and 12th numbers are the translation column.
  EXPECT_FLOAT_EQ(est->camera_extrinsic_(0, 3), 4.0F);
  EXPECT_FLOAT_EQ(est->camera_extrinsic_(1, 3), 8.0F);
  EXPECT_FLOAT_EQ(est->camera_extrinsic_(2, 3), 12.0F);
  EXPECT_FLOAT_EQ(est->camera_extrinsic_(0, 1), 2.0F);
  EXPECT_FLOAT_EQ(est->camera_extrinsic_(1, 0), 5.0F);
  EXPECT_FLOAT_EQ(est->camera_extrinsic_(3, 0), 13.0F);
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
  const Eigen::Matrix3f r = est->camera_extrinsic_.block<3, 3>(0, 0);
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

struct BadConfigCase {
  const char* name;
  std::function<void(YAML::Node&)> edit;
  const char* key;
};

class BadConfigTest : public ConfigTest, public ::testing::WithParamInterface<BadConfigCase> {};

TEST_P(BadConfigTest, ErrorNamesFileAndKey) {
  const BadConfigCase& c = GetParam();
  const std::string path = WriteConfig(c.edit);
  try {
    GrabPoseEstimate est(path);
    FAIL() << "construction succeeded";
  } catch (const moorwick::EstimatorConfigError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(path), std::string::npos) << what;
    EXPECT_NE(what.find(c.key), std::string::npos) << what;
    EXPECT_EQ(e.file_, path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfigTest,
    ::testing::Values(
        BadConfigCase{"missing_float",
                      [](YAML::Node& r) { r["grab_pose_estimate"].remove("tcp_ajust_threshold"); },
                      "grab_pose_estimate.tcp_ajust_threshold"},
        BadConfigCase{"missing_intrinsic",
                      [](YAML::Node& r) { r["camera_intrinsic"].remove("fy"); },
                      "camera_intrinsic.fy"},
        BadConfigCase{"missing_stored_only_flag",
                      [](YAML::Node& r) { r["debug_choice"].remove("enable_pcacenter_extend"); },
                      "debug_choice.enable_pcacenter_extend"},
        BadConfigCase{"int_not_number",
                      [](YAML::Node& r) { r["grab_pose_estimate"]["sor2_meank_value"] = "fifty"; },
                      "sor2_meank_value"},
        BadConfigCase{"negative_unsigned",
                      [](YAML::Node& r) { r["grab_pose_estimate"]["min_trash_cloud_size"] = "-5"; },
                      "min_trash_cloud_size"},
        BadConfigCase{"bool_not_bool",
                      [](YAML::Node& r) { r["debug_choice"]["is_on_floor"] = "perhaps"; },
                      "debug_choice.is_on_floor"},
        BadConfigCase{"short_euler",
                      [](YAML::Node& r) {
                        r["camera_extrinsic"]["Rxyz"] = Seq({1, 2});
                      },
                      "camera_extrinsic.Rxyz"},
        BadConfigCase{"eye_on_hand_needs_flange_pose",
                      [](YAML::Node& r) {
                        r["camera_extrinsic"]["is_eye_on_hand"] = true;
                        r["camera_extrinsic"]["is_use_euler"] = false;
                        r["camera_extrinsic"]["flange2camera"] =
                            Seq({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
                      },
                      "base2flange_euler"},
        BadConfigCase{"missing_map", [](YAML::Node& r) { r.remove("grab_pose_estimate"); },
                      "grab_pose_estimate"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigTest, MissingFileIsAYamlErrorNamingTheFile) {
  const std::string path = (dir_ / "absent.yaml").string();
  try {
    GrabPoseEstimate est(path);
    FAIL() << "construction succeeded";
  } catch (const YAML::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

TEST_F(ConfigTest, NegativeMinimumIsRejectedNotWrapped) {
  // yaml-cpp would otherwise be free to wrap -1 to 4294967295.
  EXPECT_THROW(Make([](YAML::Node& r) { r["grab_pose_estimate"]["min_trash_cloud_size"] = -1; }),
               YAML::Exception);
  const auto est = Make([](YAML::Node& r) { r["grab_pose_estimate"]["min_trash_cloud_size"] = 2; });
  EXPECT_EQ(est->min_trash_cloud_size_, 2u);
}

}  // namespace
}  // namespace moorwick_test
