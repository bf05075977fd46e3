// Which model detections are litter to grab: trash classes away from the image
// border, the furniture boxes they may lie on, and the position test.
#pragma once

#include <cstdint>
#include <vector>

#include "ai_moor/model/yolov8_seg.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/core/records.hpp"

namespace moorwick {

// The camera node's settings the filters read.
struct DetectionFilterParams {
  std::vector<std::int32_t> trash_class_ids;  // class ids (model index + 1) that count as trash
  std::int32_t image_edge_threshold{0};       // pixels
  std::uint32_t image_width{0};               // colour image width, pixels
  float trash_mask_iou_v1{0.0F};              // share of the piece's box covered by furniture
  float ground_max_th{0.0F};                  // metres, added to the class height limit
  ClassValueRecord class_height_conf{};       // metres above the floor, per class
  std::int32_t cam_id{0};
};

// Appends the trash-class detections that do not touch the left, top or right
// border to trash_objs (masks shared, not copied). True when any remain.
bool GetTrashObjects(const DetectionFilterParams& params,
                     const std::vector<ai_moor::model::SegObject>& objs,
                     std::vector<ai_moor::model::SegObject>& trash_objs);

// Border test of one detection; logs when it is at the edge.
bool IsAtEdge(const DetectionFilterParams& params, const ai_moor::model::SegObject& obj);

// Integer boxes of all detections; base_waiting_boxes receives those of the
// classes "base" (9) and "waiting" (11).
void GetObjsBoxInfos(const DetectionFilterParams& params,
                     const std::vector<ai_moor::model::SegObject>& objs,
                     std::vector<BoxInfo>& base_waiting_boxes);

// The selection step of GetObjsBoxInfos: appends the base/waiting boxes of box_infos.
void GetBaseWaitingBoxInfos(const DetectionFilterParams& params,
                            const std::vector<BoxInfo>& box_infos,
                            std::vector<BoxInfo>& base_waiting_boxes);

// Integer box of a detection (coordinates truncated toward zero).
BoxInfo MakeBoxInfo(const ai_moor::model::SegObject& obj);

// Whether a piece is to be grabbed: its box lies mostly on a base/waiting box,
// or its lowest point (arm base frame, metres) is below its class height limit
// above the floor.
bool IsTrashToGrab(const DetectionFilterParams& params, float trash_lowest_z, float base_height,
                   const ai_moor::model::SegObject& obj,
                   const std::vector<BoxInfo>& base_waiting_boxes);

}  // namespace moorwick
