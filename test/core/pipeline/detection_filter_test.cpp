// Which detections count as litter to grab: border test, furniture boxes and
// the position test.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "moorwick_arm_trash_detect/core/detection_filter.hpp"
#include "moorwick_test/log_capture.hpp"

namespace moorwick {
namespace {

using ai_moor::model::SegObject;
using moorwick_test::LogCapture;

constexpr int kPaper = 0;   // model index of "paper"
constexpr int kBottle = 4;  // model index of "bottle"
constexpr int kBase = 8;    // model index of "base"
constexpr int kChair = 9;   // model index of "chair"
constexpr int kWaiting = 10;

SegObject Detection(int label, float x, float y, float w, float h, float prob = 0.9F) {
  return {{x, y, w, h}, label, prob, cv::Mat::zeros(480, 640, CV_8UC1)};
}

class DetectionFilterTest : public ::testing::Test {
protected:
  // Trash ids paper, bottle, paper_cup; 5 px border; 640 wide; 0.7 cover; camera 2.
  DetectionFilterParams params_{{1, 5, 16}, 5, 640, 0.7F, 0.0F, {}, 2};
  LogCapture log_;
};

TEST_F(DetectionFilterTest, EdgeTestTruncatesAndSkipsTheBottomBorder) {
  struct Case {
    const char* what;
    float x, y, w, h;
    bool at_edge;
  };
  const Case cases[] = {
      {"x 4.9 truncates to 4", 4.9F, 100.0F, 50.0F, 50.0F, true},
      {"x 5.0 is inside", 5.0F, 100.0F, 50.0F, 50.0F, false},
      {"y 4.9 truncates to 4", 100.0F, 4.9F, 50.0F, 50.0F, true},
      {"y 5.0 is inside", 100.0F, 5.0F, 50.0F, 50.0F, false},
      {"right side 600 + 35 = 635", 600.0F, 100.0F, 35.0F, 50.0F, false},
      {"right side 600 + 36 = 636", 600.0F, 100.0F, 36.0F, 50.0F, true},
      {"width 35.9 truncates to 35", 600.0F, 100.0F, 35.9F, 50.0F, false},
      {"touches the bottom border", 100.0F, 400.0F, 50.0F, 80.0F, false},
      {"negative x", -20.0F, 100.0F, 50.0F, 50.0F, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAtEdge(params_, Detection(kPaper, c.x, c.y, c.w, c.h)), c.at_edge) << c.what;
  }
}

TEST_F(DetectionFilterTest, KeepsTrashAwayFromTheBorderInOrderWithSharedMasks) {
  std::vector<SegObject> objs{
      Detection(kBottle, 100.0F, 100.0F, 40.0F, 80.0F),  // kept
      Detection(kChair, 0.0F, 0.0F, 50.0F, 50.0F),       // not trash, at the edge: silent
      Detection(kPaper, 2.0F, 200.0F, 30.0F, 30.0F),     // trash at the edge
      Detection(300, 0.0F, 0.0F, 10.0F, 10.0F),          // index beyond every table: silent
      Detection(-4, 0.0F, 0.0F, 10.0F, 10.0F),           // negative index: silent
      Detection(kPaper, 300.0F, 200.0F, 30.0F, 30.0F),   // kept
  };
  std::vector<SegObject> trash;
  EXPECT_TRUE(GetTrashObjects(params_, objs, trash));
  ASSERT_EQ(trash.size(), 2U);
  EXPECT_EQ(trash[0].label, kBottle);
  EXPECT_EQ(trash[0].rect, objs[0].rect);
  EXPECT_EQ(trash[0].prob, objs[0].prob);
  EXPECT_EQ(trash[0].mask.data, objs[0].mask.data) << "the mask shares the detection's pixels";
  EXPECT_EQ(trash[1].label, kPaper);
  EXPECT_EQ(trash[1].rect.x, 300.0F);
  ASSERT_EQ(log_.Lines().size(), 1U);
  EXPECT_EQ(log_.Lines()[0].text, "this obj is at the edge of the image");
}

TEST_F(DetectionFilterTest, NoTrashLeftLogsAndReturnsFalse) {
  std::vector<SegObject> objs{Detection(kBase, 100.0F, 100.0F, 40.0F, 40.0F),
                              Detection(kPaper, 636.0F, 100.0F, 2.0F, 40.0F)};
  std::vector<SegObject> trash;
  EXPECT_FALSE(GetTrashObjects(params_, objs, trash));
  EXPECT_TRUE(trash.empty());
  EXPECT_EQ(log_.Count("cam_2: No trash object detected !"), 1U);
}

// Corners are truncated, not rounded or summed from truncated parts.
TEST_F(DetectionFilterTest, BoxInfosKeepOnlyBaseAndWaitingWithTruncatedCorners) {
  std::vector<SegObject> objs{Detection(kBase, 10.7F, 20.2F, 5.6F, 9.9F, 0.42F),
                              Detection(kPaper, 100.0F, 100.0F, 20.0F, 20.0F, 0.5F),
                              Detection(kWaiting, -3.7F, -0.5F, 100.0F, 60.0F, 0.75F),
                              Detection(99, 1.0F, 2.0F, 3.0F, 4.0F, 0.1F)};
  std::vector<BoxInfo> boxes(3);  // stale content must go
  GetObjsBoxInfos(params_, objs, boxes);
  ASSERT_EQ(boxes.size(), 2U);
  EXPECT_EQ(boxes[0].class_id, 9);
  EXPECT_EQ(boxes[0].x1, 10);
  EXPECT_EQ(boxes[0].y1, 20);
  EXPECT_EQ(boxes[0].x2, 16);  // 16.3 truncated, not 10 + 5
  EXPECT_EQ(boxes[0].y2, 30);  // 30.1 truncated
  EXPECT_EQ(boxes[0].score, 0.42F);
  EXPECT_EQ(boxes[0].mask.data, objs[0].mask.data);
  EXPECT_EQ(boxes[1].class_id, 11);
  EXPECT_EQ(boxes[1].x1, -3);
  EXPECT_EQ(boxes[1].y1, 0);
  EXPECT_EQ(boxes[1].y2, 59);
  EXPECT_EQ(log_.Count("cam_2: base_wating_box_infos size = 2"), 1U);
}

// Position test: a 10 x 10 pixel piece at (100, 100) .. (109, 109).
class TrashToGrabTest : public DetectionFilterTest {
protected:
  TrashToGrabTest() {
    params_.class_height_conf.paper = 0.25F;
    params_.class_height_conf.other = 1.0F;
    params_.ground_max_th = 0.25F;
  }

  static BoxInfo Furniture(int class_id, int x1, int y1, int x2, int y2) {
    return {x1, y1, x2, y2, 0.0F, cv::Mat(), class_id};
  }

  SegObject piece_ = Detection(kPaper, 100.0F, 100.0F, 9.5F, 9.5F);
  // Lowest point 0.75 m above the floor: far above paper's 0.5 m limit.
  float high_z_ = 0.0F;
  float base_height_ = 0.75F;
};

// Columns 100..104 of the piece's 10 are covered: iou 0.5. Covered beyond the
// limit accepts without the floor test; at the limit the floor test decides.
TEST_F(TrashToGrabTest, HalfCoverAcceptsOnlyAboveTheLimit) {
  const std::vector<BoxInfo> boxes{Furniture(9, 95, 90, 104, 120)};
  params_.trash_mask_iou_v1 = 0.5F;
  EXPECT_FALSE(IsTrashToGrab(params_, high_z_, base_height_, piece_, boxes));
  EXPECT_EQ(log_.Count("cam_2: iou = 0.5, trash_mask_iou_v1 = 0.5"), 1U);
  EXPECT_EQ(log_.Count("trash_type: paper, trash2floor_height: 0.7500"), 1U);
  params_.trash_mask_iou_v1 = 0.49F;
  EXPECT_TRUE(IsTrashToGrab(params_, high_z_, base_height_, piece_, boxes));
  EXPECT_EQ(log_.Count("cam_2: trash = paper is above obstacle = base"), 1U);
  EXPECT_EQ(log_.Count("trash_type: paper, trash2floor_height: 0.7500"), 1U) << "no floor test";
}

TEST_F(TrashToGrabTest, EveryBoxIsExaminedAndEachOverLimitIsLogged) {
  params_.trash_mask_iou_v1 = 0.7F;
  const std::vector<BoxInfo> boxes{Furniture(9, 0, 0, 300, 300),
                                   Furniture(11, 500, 500, 600, 600),  // disjoint
                                   Furniture(11, 100, 100, 109, 109)};
  EXPECT_TRUE(IsTrashToGrab(params_, high_z_, base_height_, piece_, boxes));
  EXPECT_EQ(log_.Count("cam_2: trash = paper is above obstacle = base"), 1U);
  EXPECT_EQ(log_.Count("cam_2: trash = paper is above obstacle = waiting"), 1U);
  EXPECT_EQ(log_.Count("cam_2: iou = 0, trash_mask_iou_v1 = 0.7"), 1U);
  EXPECT_EQ(log_.Count("cam_2: iou = 1, trash_mask_iou_v1 = 0.7"), 2U);
}

TEST_F(TrashToGrabTest, FloorTestRejectsEquality) {
  // 0.5 m above the floor against paper's 0.25 + 0.25 limit, all exact in float.
  EXPECT_FALSE(IsTrashToGrab(params_, -0.25F, base_height_, piece_, {}));
  EXPECT_EQ(log_.Count("no base waiting detected"), 1U);
  EXPECT_EQ(log_.Count("trash_type: paper, trash2floor_height: 0.5000"), 1U);
  EXPECT_EQ(log_.Count("cam_2: trash = paper is above ground"), 0U);

  EXPECT_TRUE(IsTrashToGrab(params_, -0.375F, base_height_, piece_, {}));
  EXPECT_EQ(log_.Count("cam_2: trash = paper is above ground"), 1U);
}

TEST_F(TrashToGrabTest, ClassesBeyondTheOwnHeightsUseTheSharedLimit) {
  // "other" allows 1.0 + 0.25 m; paper only 0.5 m. A piece 0.75 m up passes
  // for ids 23 and 41 (not in the table) but not for paper.
  EXPECT_FALSE(IsTrashToGrab(params_, high_z_, base_height_, piece_, {}));
  for (int label : {22, 40}) {
    SegObject piece = piece_;
    piece.label = label;
    EXPECT_TRUE(IsTrashToGrab(params_, high_z_, base_height_, piece, {})) << "label " << label;
  }
  EXPECT_EQ(log_.Count("cam_2: trash = other is above ground"), 1U);
  EXPECT_EQ(log_.Count("cam_2: trash =  is above ground"), 1U);
  EXPECT_EQ(log_.Count("height_threshold: 1.2500"), 2U);
}

TEST_F(TrashToGrabTest, InvertedPieceBoxHasNoOverlap) {
  params_.trash_mask_iou_v1 = 0.1F;
  SegObject inverted = Detection(kPaper, 100.0F, 100.0F, -20.0F, 10.0F);
  const std::vector<BoxInfo> boxes{Furniture(9, 0, 0, 300, 300)};
  EXPECT_FALSE(IsTrashToGrab(params_, high_z_, base_height_, inverted, boxes));
  EXPECT_EQ(log_.Count("cam_2: iou = 0, trash_mask_iou_v1 = 0.1"), 1U);
}

}  // namespace
}  // namespace moorwick
