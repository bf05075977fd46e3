// Class vocabulary shared by the whole node, drawing palettes, and the
// per-class tables each camera node loads from its share directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "moorwick_arm_trash_detect/core/records.hpp"

namespace moorwick {

// Number of classes the model knows; class id = model index + 1.
inline constexpr std::size_t kClassCount = 23;

// Process-wide table class id (1..23) -> class name. Built once, read-only.
const std::map<std::int32_t, std::string>& ClassTable();

// Class id of a model class index (index + 1), saturating instead of overflowing.
std::int32_t ClassIdOfIndex(std::int32_t class_index);

// Name of a class id, empty for an id outside the table. Never modifies the
// table, so camera callbacks may call it concurrently.
const std::string& ClassName(std::int32_t class_id);

// Drawing palettes, RGB 0..255. The box palette is indexed by the model's
// class index, the mask palette by class index modulo its size.
using RgbColor = std::array<int, 3>;
extern const std::array<RgbColor, 80> kBoxColors;
extern const std::array<RgbColor, 20> kMaskColors;

// Box colour of a model class index; nullptr outside the palette.
const RgbColor* BoxColorFor(int label);
// Mask colour of a model class index (label modulo 20); nullptr for a negative label.
const RgbColor* MaskColorFor(int label);

// One 32-bit float per class, fields in the order of the class ids. Classes 11
// and 12 carry their configuration names here.
struct ClassValueRecord {
  float paper{0.0F};
  float mask{0.0F};
  float thread{0.0F};
  float obstacle{0.0F};
  float bottle{0.0F};
  float blood{0.0F};
  float person{0.0F};
  float reflection{0.0F};
  float base{0.0F};
  float chair{0.0F};
  float waiting_bench{0.0F};
  float escalator_entrance{0.0F};
  float rod{0.0F};
  float coffee{0.0F};
  float milk{0.0F};
  float paper_cup{0.0F};
  float plastic_bag{0.0F};
  float carton_box{0.0F};
  float cotton_ball{0.0F};
  float medication_board{0.0F};
  float swab{0.0F};
  float drinking_cup{0.0F};
  float other{0.0F};
};
static_assert(sizeof(ClassValueRecord) == kClassCount * sizeof(float), "23 packed floats");

// YAML key / field name of each record field, in record order.
extern const std::array<const char*, kClassCount> kClassValueKeys;

// Field at record position `index` (0..22); the caller keeps index in range.
float& ClassValueAt(ClassValueRecord& record, std::size_t index);
float ClassValueAt(const ClassValueRecord& record, std::size_t index);

// The value a record holds for a class id: ids 1..22 have their own field,
// every other id (23, unknown, negative) shares the last one.
float ClassValueForId(const ClassValueRecord& record, std::int32_t class_id);

// Size limits of one class, extents in metres along the piece's three axes.
struct SizeRange {
  std::array<double, 3> min{0.0, 0.0, 0.0};
  std::array<double, 3> max{0.0, 0.0, 0.0};
};
using ClassSizeRangeMap = std::map<std::string, SizeRange>;

// Loaders, run by the camera node at construction in this order. share_dir is
// the package share directory; files are read from share_dir + "/config/".
// A missing file, a missing key or a value of the wrong type throws
// ConfigError naming the file and the key.
void initializeClassHeightConf(const std::string& share_dir, std::int32_t cam_id,
                               ClassValueRecord& class_height_conf);
void initializeAiConf(const std::string& share_dir, std::int32_t cam_id, ClassValueRecord& ai_conf);
// Adds or overwrites one entry per top-level key once the whole file has been
// read; a top level that is not a mapping adds nothing (and warns).
void initializeClassSizeRange(const std::string& share_dir, std::int32_t cam_id,
                              ClassSizeRangeMap& class_size_range_map);

// Size test of a piece: its class (model index, class id = index + 1) and its
// three extents against the inclusive range of its class. An empty map warns
// and fails; a class without an entry is tested against the all-zero range.
bool IsBboxWithinSizeRange(const ClassSizeRangeMap& size_range_map, const TrashInfo& piece);
bool IsBboxWithinSizeRange(const ClassSizeRangeMap& size_range_map, std::int32_t class_index,
                           const std::array<double, 3>& extents);

// Grab type for the estimator from the model's class index.
void GetTrashType(std::int32_t type, std::int32_t& out);

}  // namespace moorwick
