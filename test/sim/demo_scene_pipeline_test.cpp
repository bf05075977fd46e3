// The demo scene through the node's ROS-free stages: the colour-key model, the
// detection filters, the depth cut-out and the grab pose estimator. If this
// holds, what the demo prints depends only on the ROS plumbing.
#include <gtest/gtest.h>
#include <pcl/common/transforms.h>
#include <yaml-cpp/yaml.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

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

TEST_F(DemoScenePipeline, EstimatorExtrinsicIsTheSceneCameraPose) {
  // Without a transform on /tf_static the node falls back to the estimator
  // file's extrinsic; the demo stays right either way only if they agree.
  const Eigen::Matrix4d scene_pose = scene_.scene.camera.base_from_camera.matrix();
  EXPECT_TRUE(estimator_->camera_extrinsic_.cast<double>().isApprox(scene_pose, 1e-6))
      << estimator_->camera_extrinsic_ << "\n\n"
      << scene_pose;
}

TEST_F(DemoScenePipeline, ColourKeyFindsEveryPieceWithItsClassAndMask) {
  std::vector<ai_moor::model::SegObject> objects;
  model_->detect(frame_.rgb, objects);
  ASSERT_EQ(objects.size(), frame_.truth.size());
  for (const PieceTruth& t : frame_.truth) {
    SCOPED_TRACE(t.name);
    const ai_moor::model::SegObject* found = nullptr;
    for (const auto& obj : objects) {
      if (obj.label == t.class_index)
        found = &obj;
    }
    ASSERT_NE(found, nullptr);
    // Same pixels as the rendered mask, up to colour noise on a few pixels.
    const cv::Mat& truth_mask = frame_.masks[static_cast<std::size_t>(t.piece_index)];
    const int differing = cv::countNonZero(found->mask != truth_mask);
    EXPECT_LE(differing, t.visible_pixels / 50);
  }
}

struct PieceOutcome {
  int result{0};
  int main_axis_type{0};
  Eigen::Vector3d position{Eigen::Vector3d::Zero()};
  bool transparent{false};
  bool position_ok{false};
  bool size_ok{false};
};

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

  std::map<int, PieceOutcome> by_class;
  for (auto& obj : trash) {
    PieceOutcome out;
    const PieceEstimate est = EstimatePiece(frame_.depth, scene_.scene.camera, *estimator_, obj);
    ASSERT_EQ(est.cut, moorwick::TrashCloudStatus::kOk);
    ASSERT_GE(est.cut_points, 50U);
    out.transparent = est.transparent;
    out.result = est.result;
    out.main_axis_type = estimator_->main_axis_type_;
    out.position = est.position;
    out.position_ok = moorwick::IsTrashToGrab(filter, estimator_->trash_lowest_z_,
                                              estimator_->base_height_, obj, furniture);
    const Eigen::Vector3f& l = estimator_->pca_lengths_;
    out.size_ok = moorwick::IsBboxWithinSizeRange(sizes, obj.label, {l[0], l[1], l[2]});
    by_class[obj.label] = out;
  }

  int reachable = 0;
  int unreachable = 0;
  for (const PieceTruth& t : frame_.truth) {
    SCOPED_TRACE(t.name);
    ASSERT_EQ(by_class.count(t.class_index), 1U);
    const PieceOutcome& out = by_class[t.class_index];
    EXPECT_FALSE(out.transparent);
    if (t.name.find("out of reach") != std::string::npos) {
      ++unreachable;
      EXPECT_EQ(out.result, moorwick::GrabPoseEstimate::kOutOfWorkspace);
      continue;
    }
    ++reachable;
    ASSERT_EQ(out.result, moorwick::GrabPoseEstimate::kSuccess);
    const GrabError e = CompareGrab(t, out.position);
    EXPECT_TRUE(e.ok) << t.name << ": estimate " << out.position.transpose() << " truth "
                      << t.center.transpose() << ", off by " << e.horizontal_mm
                      << " mm horizontally, " << e.vertical_mm << " mm vertically";
    EXPECT_EQ(out.main_axis_type, t.main_axis_type);
    EXPECT_TRUE(out.position_ok);
    EXPECT_TRUE(out.size_ok);
  }
  EXPECT_GE(reachable, 3);
  EXPECT_EQ(unreachable, 1);
}

// A transparent upright cup: the renderer drops most of its depth, and the
// node's cut-out rule (null ratio and upright box) must call it transparent,
// while the same cup opaque is not.
TEST(TransparentPiece, CutOutCallsItTransparentOnlyWhenDepthIsMissing) {
  SceneFile scene = LoadSceneFile(kSource + "/config/demo/scene.yaml");
  ScenePiece cup;
  cup.name = "cup";
  cup.class_index = 21;  // drinking_cup
  cup.shape = Shape::Cylinder(0.06, 0.15, {-0.42, 0.0, 0.0}, {0.0, 0.0, 1.0})
                  .RestingOn(scene.scene.floor_z);
  cup.color = {{230, 120, 20}};
  const PinholeCamera& cam = scene.scene.camera;
  for (const bool transparent : {true, false}) {
    SCOPED_TRACE(transparent ? "transparent" : "opaque");
    cup.transparent = transparent;
    scene.scene.pieces = {cup};
    const RenderedFrame frame = RenderScene(scene.scene, scene.render);
    ai_moor::model::SegObject obj = TruthDetection(frame, 0);
    obj.mask = obj.mask * 255;
    auto cloud = std::make_shared<moorwick::GrabPoseEstimate::Cloud>();
    bool is_transparent = !transparent;
    ASSERT_EQ(moorwick::GetTrashCloud(DepthViewOf(frame.depth), IntrinsicsOf(cam), {1, 0.3F, 1.2F},
                                      obj, cloud, is_transparent),
              moorwick::TrashCloudStatus::kOk);
    EXPECT_EQ(is_transparent, transparent);
    // Every point the cut-out keeps lies on the cup, transparent or not.
    const Eigen::Isometry3f base_from_camera = cam.base_from_camera.cast<float>();
    ASSERT_GT(cloud->size(), 50U);
    for (const auto& p : cloud->points) {
      const Eigen::Vector3d q = (base_from_camera * p.getVector3fMap()).cast<double>();
      ASSERT_TRUE(cup.shape.Contains(q, 0.004)) << q.transpose();
    }
  }
}

}  // namespace
}  // namespace moorwick_test
