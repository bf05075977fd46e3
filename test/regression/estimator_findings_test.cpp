// Estimator inputs the fuzz harness flagged. Outlier-filter neighbour counts
// that PCL cannot use: the loader used to accept them and the first estimate
// then threw std::length_error out of StatisticalOutlierRemoval (or, for huge
// counts, ran for many seconds); now the file is refused, naming the key (a
// row of the configuration error table), and the counts kept run to an answer.
// Finite points near the float limit made FLANN's kd-tree split assertion
// abort the process; now points beyond reach are dropped first. A neighbour
// whose squared distance overflows to infinity was left out of the fast
// outlier filter's mean distance (0 where PCL gives infinity).
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <limits>
#include <string>

#include "moorwick_arm_trash_detect/core/grid_neighbour_search.hpp"
#include "moorwick_arm_trash_detect/core/statistical_outlier_removal.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"

namespace {

namespace fs = boost::filesystem;

class MeanKTest : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("moorwick_regression_%%%%-%%%%");
    fs::create_directories(dir_);
  }
  void TearDown() override {
    boost::system::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string WriteConfig(const std::string& mean_k) const {
    YAML::Node root =
        YAML::LoadFile(std::string(MOORWICK_SOURCE_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml");
    root["debug_choice"]["folder_path"] = (dir_ / "data").string() + "/";
    root["grab_pose_estimate"]["sor2_meank_value"] = YAML::Load(mean_k);
    const std::string path = (dir_ / "estimator.yaml").string();
    std::ofstream out(path);
    out << root;
    return path;
  }

  // A small flat piece the arm reaches: enough points for the outlier filter.
  static moorwick::GrabPoseEstimate::CloudPtr Piece() {
    moorwick::GrabPoseEstimate::CloudPtr cloud(new moorwick::GrabPoseEstimate::Cloud);
    for (int i = 0; i < 20; ++i) {
      for (int j = 0; j < 10; ++j) {
        cloud->push_back(pcl::PointXYZ(-0.5F + 0.004F * static_cast<float>(i),
                                       0.002F * static_cast<float>(j),
                                       -0.17F + 0.0001F * static_cast<float>(i % 3)));
      }
    }
    return cloud;
  }

  fs::path dir_;
};

using AcceptedMeanK = MeanKTest;
TEST_P(AcceptedMeanK, EstimateRunsToAnAnswer) {
  moorwick::GrabPoseEstimate est(WriteConfig(GetParam()));
  EXPECT_EQ(est.sor2_meank_value_, std::stoi(GetParam()));
  int code = 0;
  ASSERT_NO_THROW(code = est.GetInitialGrabPose(Piece()));
  EXPECT_TRUE(code == moorwick::GrabPoseEstimate::kSuccess ||
              code == moorwick::GrabPoseEstimate::kOutOfWorkspace ||
              code == moorwick::GrabPoseEstimate::kTooFewPoints)
      << code;
  if (code == moorwick::GrabPoseEstimate::kSuccess) {
    EXPECT_TRUE(est.grab_pose_.position.allFinite());
  }
}
INSTANTIATE_TEST_SUITE_P(FuzzFindings, AcceptedMeanK, ::testing::Values("1", "50", "1000"));

using FarPoints = MeanKTest;
TEST_F(FarPoints, FarFinitePointsLeaveTheEstimateOfThePieceUnchanged) {
  const float kMax = std::numeric_limits<float>::max();
  const std::string path = WriteConfig("50");
  for (const bool transparent : {false, true}) {
    moorwick::GrabPoseEstimate clean(path);
    const auto piece = Piece();
    const int expected =
        transparent ? clean.GetTransparentGrabPose(piece) : clean.GetInitialGrabPose(piece);

    moorwick::GrabPoseEstimate est(path);
    auto cloud = Piece();
    for (const pcl::PointXYZ& far : {pcl::PointXYZ(kMax, kMax, kMax), pcl::PointXYZ(-kMax, 0, 0),
                                     pcl::PointXYZ(0, -kMax, kMax), pcl::PointXYZ(0, 0, 1001.0F),
                                     pcl::PointXYZ(-3e30F, 3e30F, -3e30F)}) {
      cloud->push_back(far);
    }
    int code = 0;
    ASSERT_NO_THROW(code = transparent ? est.GetTransparentGrabPose(cloud)
                                       : est.GetInitialGrabPose(cloud));
    EXPECT_EQ(code, expected) << transparent;
    EXPECT_EQ(cloud->size(), piece->size()) << transparent;
    if (code == moorwick::GrabPoseEstimate::kSuccess) {
      EXPECT_TRUE(est.grab_pose_.position.isApprox(clean.grab_pose_.position, 1e-5F));
    }
  }
}

TEST(FastOutlierFilterFinding, NeighbourBeyondFloatRangeGivesAnInfiniteMean) {
  // Three points on a line, one at the float limit: its nearest neighbour's
  // squared distance overflows.
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back(pcl::PointXYZ(-0.5F, -1e6F, -0.1F));
  cloud.push_back(pcl::PointXYZ(-0.5F, std::numeric_limits<float>::max(), -0.1F));
  cloud.push_back(pcl::PointXYZ(-0.5F, 1e6F, -0.1F));
  const auto distances = moorwick::KnnMeanDistances(cloud, 1, 2);
  ASSERT_EQ(distances.size(), 3U);
  EXPECT_FLOAT_EQ(distances[0], 2e6F);
  EXPECT_EQ(distances[1], std::numeric_limits<float>::infinity());
  EXPECT_FLOAT_EQ(distances[2], 2e6F);
}

}  // namespace
