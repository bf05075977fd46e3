// The demo scene through the node's ROS-free stages: the colour-key model, the
// detection filters, the depth cut-out and the grab pose estimator. If this
// holds, what the demo prints depends only on the ROS plumbing.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "ai_moor/model/yolov8_seg.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/core/detection_filter.hpp"
#include "moorwick_arm_trash_detect/core/trash_cloud.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "moorwick_test/scene_pipeline.hpp"

namespace moorwick_test {
using namespace moorwick_sim;  // the scene builders are this suite's vocabulary
namespace {

const std::string kSource = MOORWICK_SOURCE_DIR;

class DemoScenePipeline : public ::testing::Test {
protected:
  void SetUp() override {
    scene_ = LoadSceneFile(kSource + "/config/demo/scene.yaml");
    frame_ = RenderScene(scene_.scene, scene_.render);
    // The shipped estimator file, with its debug folders moved to a scratch
    // directory (it creates them).
    temp_ = std::filesystem::temp_directory_path() /
            ("moorwick_demo_scene_" + std::to_string(::getpid()));
    std::filesystem::create_directories(temp_);
    YAML::Node estimator = YAML::LoadFile(kSource + "/config/demo/demo_pose_estimate_config.yaml");
    estimator["debug_choice"]["folder_path"] = temp_.string() + "/";
    const std::string path = (temp_ / "estimator.yaml").string();
    std::ofstream(path) << estimator;
    estimator_ = std::make_unique<moorwick::GrabPoseEstimate>(path);
    model_ =
        std::make_unique<ai_moor::model::YOLOv8Seg>(kSource + "/config/demo/model_color_key.yaml");
  }
  void TearDown() override { std::filesystem::remove_all(temp_); }

  SceneFile scene_;
  RenderedFrame frame_;
  std::filesystem::path temp_;
  std::unique_ptr<moorwick::GrabPoseEstimate> estimator_;
  std::unique_ptr<ai_moor::model::YOLOv8Seg> model_;
};

// The colour-key model finds each piece with its class and (up to colour
// noise) its pixels; reachable ones are grabbed within 10 mm, the one out of
// reach is refused.
TEST_F(DemoScenePipeline, ReachablePiecesAreGrabbedWithinTenMillimetresOfTheirCentre) {
  std::vector<ai_moor::model::SegObject> objects;
  model_->detect(frame_.rgb, objects);

  moorwick::DetectionFilterParams filter;
  filter.trash_class_ids = {1, 5, 14, 18};
  filter.image_edge_threshold = 5;
  filter.image_width = static_cast<std::uint32_t>(scene_.scene.camera.width);
  filter.trash_mask_iou_v1 = 0.7F;
  filter.ground_max_th = 0.0F;
  const std::string share = temp_.string() + "/share";
  std::filesystem::create_directories(share);
  std::filesystem::create_symlink(kSource + "/config", share + "/config");
  moorwick::initializeClassHeightConf(share, 1, filter.class_height_conf);
  moorwick::ClassSizeRangeMap sizes;
  moorwick::initializeClassSizeRange(share, 1, sizes);

  std::vector<ai_moor::model::SegObject> trash;
  ASSERT_TRUE(moorwick::GetTrashObjects(filter, objects, trash));
  ASSERT_EQ(trash.size(), frame_.truth.size());
  std::vector<moorwick::BoxInfo> furniture;
  moorwick::GetObjsBoxInfos(filter, objects, furniture);

  int reachable = 0;
  int unreachable = 0;
  std::set<int> axis_types;
  for (const PieceTruth& t : frame_.truth) {
    SCOPED_TRACE(t.name);
    const auto obj = std::find_if(trash.begin(), trash.end(),
                                  [&](const auto& o) { return o.label == t.class_index; });
    ASSERT_NE(obj, trash.end());
    const cv::Mat& truth_mask = frame_.masks[static_cast<std::size_t>(t.piece_index)];
    EXPECT_LE(cv::countNonZero(obj->mask != truth_mask), t.visible_pixels / 50);
    const PieceEstimate est = EstimatePiece(frame_.depth, scene_.scene.camera, *estimator_, *obj);
    ASSERT_EQ(est.cut, moorwick::TrashCloudStatus::kOk);
    ASSERT_GE(est.cut_points, 50U);
    EXPECT_FALSE(est.transparent);
    if (t.name.find("out of reach") != std::string::npos) {
      ++unreachable;
      EXPECT_EQ(est.result, moorwick::GrabPoseEstimate::kOutOfWorkspace);
      continue;
    }
    ++reachable;
    ASSERT_EQ(est.result, moorwick::GrabPoseEstimate::kSuccess);
    const GrabError e = CompareGrab(t, est.position);
    EXPECT_TRUE(e.ok) << "estimate " << est.position.transpose() << " truth "
                      << t.center.transpose() << ", off by " << e.horizontal_mm
                      << " mm horizontally, " << e.vertical_mm << " mm vertically";
    EXPECT_EQ(estimator_->main_axis_type_, t.main_axis_type);
    axis_types.insert(t.main_axis_type);
    EXPECT_TRUE(moorwick::IsTrashToGrab(filter, estimator_->trash_lowest_z_,
                                        estimator_->base_height_, *obj, furniture));
    const Eigen::Vector3f& l = estimator_->pca_lengths_;
    EXPECT_TRUE(moorwick::IsBboxWithinSizeRange(sizes, obj->label, {l[0], l[1], l[2]}));
  }
  EXPECT_GE(reachable, 3);
  EXPECT_EQ(unreachable, 1);
  // The scene has pieces lying (1) and standing (2).
  EXPECT_TRUE(axis_types.count(1) == 1 && axis_types.count(2) == 1);
}

}  // namespace
}  // namespace moorwick_test
