#include "moorwick_arm_trash_detect/core/detection_filter.hpp"

#include <algorithm>
#include <cstdint>

#include "moorwick_arm_trash_detect/core/mask_points.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
namespace {

constexpr std::int32_t kBaseClassId = 9;
constexpr std::int32_t kWaitingClassId = 11;

bool IsTrashClass(const DetectionFilterParams& params, std::int32_t class_id) {
  return std::find(params.trash_class_ids.begin(), params.trash_class_ids.end(), class_id) !=
         params.trash_class_ids.end();
}

}  // namespace

bool IsAtEdge(const DetectionFilterParams& params, const ai_moor::model::SegObject& obj) {
  const long long x = TruncToInt(obj.rect.x);
  const long long y = TruncToInt(obj.rect.y);
  const long long w = TruncToInt(obj.rect.width);
  const long long threshold = params.image_edge_threshold;
  // The bottom border is not tested: pieces at the robot's feet are the ones to pick.
  const bool at_edge =
      std::min(x, y) < threshold || x + w > static_cast<long long>(params.image_width) - threshold;
  if (at_edge) {
    LOG_INFO("this obj is at the edge of the image");
  }
  return at_edge;
}

bool GetTrashObjects(const DetectionFilterParams& params,
                     const std::vector<ai_moor::model::SegObject>& objs,
                     std::vector<ai_moor::model::SegObject>& trash_objs) {
  for (const auto& obj : objs) {
    if (!IsTrashClass(params, ClassIdOfIndex(obj.label))) {
      continue;
    }
    if (IsAtEdge(params, obj)) {
      continue;
    }
    trash_objs.push_back(obj);  // the mask header shares the detection's pixels
  }
  if (trash_objs.empty()) {
    LOG_DEBUG("cam_{}: No trash object detected !", params.cam_id);
    return false;
  }
  return true;
}

BoxInfo MakeBoxInfo(const ai_moor::model::SegObject& obj) {
  BoxInfo box;
  box.x1 = TruncToInt(obj.rect.x);
  box.y1 = TruncToInt(obj.rect.y);
  box.x2 = TruncToInt(obj.rect.x + obj.rect.width);
  box.y2 = TruncToInt(obj.rect.y + obj.rect.height);
  box.score = obj.prob;
  box.mask = obj.mask;
  box.class_id = ClassIdOfIndex(obj.label);
  return box;
}

void GetObjsBoxInfos(const DetectionFilterParams& params,
                     const std::vector<ai_moor::model::SegObject>& objs,
                     std::vector<BoxInfo>& base_waiting_boxes) {
  base_waiting_boxes.clear();
  LOG_DEBUG("cam_{0:d} ori detect bbox size = {1:d}", params.cam_id, objs.size());
  std::vector<BoxInfo> box_infos;
  box_infos.reserve(objs.size());
  for (const auto& obj : objs) {
    box_infos.push_back(MakeBoxInfo(obj));
    const BoxInfo& box = box_infos.back();
    LOG_DEBUG(
        "cam_{0:d}: class = {1:s}, score = {2:03.2f}, x1 = {3:d}, y1={4:d}, x2={5:d}, y2={6:d}",
        params.cam_id, ClassName(box.class_id), box.score, box.x1, box.y1, box.x2, box.y2);
  }
  LOG_DEBUG("cam_{0:d} filtered detect bbox size = {1:d}", params.cam_id, box_infos.size());
  GetBaseWaitingBoxInfos(params, box_infos, base_waiting_boxes);
}

void GetBaseWaitingBoxInfos(const DetectionFilterParams& params,
                            const std::vector<BoxInfo>& box_infos,
                            std::vector<BoxInfo>& base_waiting_boxes) {
  for (const auto& box : box_infos) {
    const std::string& class_name = ClassName(box.class_id);
    LOG_INFO("cam_{}: class_id = {}, class_name = {}, score = {:.3f}", params.cam_id, box.class_id,
             class_name, box.score);
    if (box.class_id == kBaseClassId || box.class_id == kWaitingClassId) {
      LOG_DEBUG("cam_{}: base_or_waiting, class_name = {}, add to base_wating_box_infos",
                params.cam_id, class_name);
      base_waiting_boxes.push_back(box);
    }
  }
  LOG_DEBUG("cam_{}: base_wating_box_infos size = {}", params.cam_id, base_waiting_boxes.size());
}

bool IsTrashToGrab(const DetectionFilterParams& params, float trash_lowest_z, float base_height,
                   const ai_moor::model::SegObject& obj,
                   const std::vector<BoxInfo>& base_waiting_boxes) {
  const BoxInfo piece = MakeBoxInfo(obj);
  const std::string& class_name = ClassName(piece.class_id);
  LOG_DEBUG("cam_{}: base_waiting size = {}", params.cam_id, base_waiting_boxes.size());

  if (base_waiting_boxes.empty()) {
    LOG_DEBUG("no base waiting detected");
  } else {
    // Share of the piece's own box that a furniture box covers.
    const auto area = static_cast<float>((static_cast<double>(piece.x2) - piece.x1 + 1.0) *
                                         (static_cast<double>(piece.y2) - piece.y1 + 1.0));
    bool on_furniture = false;
    for (const auto& box : base_waiting_boxes) {
      float iou = 0.0F;
      if (area > 0.0F) {
        const long long overlap_w = std::max<long long>(
            0, static_cast<long long>(std::min(piece.x2, box.x2)) - std::max(piece.x1, box.x1) + 1);
        const long long overlap_h = std::max<long long>(
            0, static_cast<long long>(std::min(piece.y2, box.y2)) - std::max(piece.y1, box.y1) + 1);
        iou = static_cast<float>(static_cast<double>(overlap_w) * static_cast<double>(overlap_h)) /
              area;
      }
      LOG_DEBUG("cam_{}: iou = {}, trash_mask_iou_v1 = {}", params.cam_id, iou,
                params.trash_mask_iou_v1);
      if (params.trash_mask_iou_v1 < iou) {
        LOG_INFO("cam_{}: trash = {} is above obstacle = {}", params.cam_id, class_name,
                 ClassName(box.class_id));
        on_furniture = true;
      }
    }
    if (on_furniture) {
      return true;
    }
  }

  const float trash2floor_height = trash_lowest_z + base_height;
  LOG_DEBUG("trash_type: {0:s}, trash2floor_height: {1:5.4f}", class_name, trash2floor_height);
  const float height_threshold =
      ClassValueForId(params.class_height_conf, piece.class_id) + params.ground_max_th;
  LOG_DEBUG("height_threshold: {0:5.4f}", height_threshold);
  if (trash2floor_height < height_threshold) {
    LOG_INFO("cam_{}: trash = {} is above ground", params.cam_id, class_name);
    return true;
  }
  return false;
}

}  // namespace moorwick
