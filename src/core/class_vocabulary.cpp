#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {

const std::map<std::int32_t, std::string>& ClassTable() {
  static const std::map<std::int32_t, std::string> table{
      {1, "paper"},        {2, "mask"},          {3, "thread"},       {4, "obstacle"},
      {5, "bottle"},       {6, "blood"},         {7, "person"},       {8, "reflection"},
      {9, "base"},         {10, "chair"},        {11, "waiting"},     {12, "escalator"},
      {13, "rod"},         {14, "coffee"},       {15, "milk"},        {16, "paper_cup"},
      {17, "plastic_bag"}, {18, "carton_box"},   {19, "cotton_ball"}, {20, "medication_board"},
      {21, "swab"},        {22, "drinking_cup"}, {23, "other"}};
  return table;
}

std::int32_t ClassIdOfIndex(std::int32_t class_index) {
  return class_index == std::numeric_limits<std::int32_t>::max() ? class_index : class_index + 1;
}

const std::string& ClassName(std::int32_t class_id) {
  // An unknown id reads as an empty name; the shared table is never written,
  // so cameras may look names up from their own callback threads.
  static const std::string kEmpty;
  const auto& table = ClassTable();
  const auto it = table.find(class_id);
  return it == table.end() ? kEmpty : it->second;
}

// The first fifteen box colours are the agreed ones; the rest walk an even RGB
// grid so that neighbouring class indices stay easy to tell apart.
const std::array<RgbColor, 80> kBoxColors{{
    RgbColor{0, 114, 189},   RgbColor{217, 83, 25},   RgbColor{237, 177, 32},
    RgbColor{126, 47, 142},  RgbColor{119, 172, 48},  RgbColor{77, 190, 238},
    RgbColor{162, 20, 47},   RgbColor{76, 76, 76},    RgbColor{153, 153, 153},
    RgbColor{255, 0, 0},     RgbColor{255, 128, 0},   RgbColor{191, 191, 0},
    RgbColor{0, 255, 0},     RgbColor{0, 0, 255},     RgbColor{170, 0, 255},
    RgbColor{0, 0, 85},      RgbColor{0, 0, 170},     RgbColor{0, 85, 0},
    RgbColor{0, 85, 85},     RgbColor{0, 85, 170},    RgbColor{0, 85, 255},
    RgbColor{0, 170, 0},     RgbColor{0, 170, 85},    RgbColor{0, 170, 170},
    RgbColor{0, 170, 255},   RgbColor{0, 255, 85},    RgbColor{0, 255, 170},
    RgbColor{0, 255, 255},   RgbColor{85, 0, 0},      RgbColor{85, 0, 85},
    RgbColor{85, 0, 170},    RgbColor{85, 0, 255},    RgbColor{85, 85, 0},
    RgbColor{85, 85, 170},   RgbColor{85, 85, 255},   RgbColor{85, 170, 0},
    RgbColor{85, 170, 85},   RgbColor{85, 170, 170},  RgbColor{85, 170, 255},
    RgbColor{85, 255, 0},    RgbColor{85, 255, 85},   RgbColor{85, 255, 170},
    RgbColor{85, 255, 255},  RgbColor{170, 0, 0},     RgbColor{170, 0, 85},
    RgbColor{170, 0, 170},   RgbColor{170, 85, 0},    RgbColor{170, 85, 85},
    RgbColor{170, 85, 170},  RgbColor{170, 85, 255},  RgbColor{170, 170, 0},
    RgbColor{170, 170, 85},  RgbColor{170, 170, 255}, RgbColor{170, 255, 0},
    RgbColor{170, 255, 85},  RgbColor{170, 255, 170}, RgbColor{170, 255, 255},
    RgbColor{255, 0, 85},    RgbColor{255, 0, 170},   RgbColor{255, 0, 255},
    RgbColor{255, 85, 0},    RgbColor{255, 85, 85},   RgbColor{255, 85, 170},
    RgbColor{255, 85, 255},  RgbColor{255, 170, 0},   RgbColor{255, 170, 85},
    RgbColor{255, 170, 170}, RgbColor{255, 170, 255}, RgbColor{255, 255, 0},
    RgbColor{255, 255, 85},  RgbColor{255, 255, 170}, RgbColor{36, 36, 36},
    RgbColor{109, 109, 109}, RgbColor{182, 182, 182}, RgbColor{219, 219, 219},
    RgbColor{43, 43, 128},   RgbColor{43, 43, 213},   RgbColor{43, 128, 43},
    RgbColor{43, 128, 128},  RgbColor{43, 128, 213},
}};

const std::array<RgbColor, 20> kMaskColors{{
    RgbColor{255, 56, 56},   RgbColor{255, 157, 151}, RgbColor{255, 112, 31},
    RgbColor{255, 178, 29},  RgbColor{207, 210, 49},  RgbColor{72, 249, 10},
    RgbColor{146, 204, 23},  RgbColor{61, 219, 134},  RgbColor{26, 147, 52},
    RgbColor{0, 212, 187},   RgbColor{44, 153, 168},  RgbColor{0, 194, 255},
    RgbColor{52, 69, 147},   RgbColor{100, 115, 255}, RgbColor{0, 24, 236},
    RgbColor{132, 56, 255},  RgbColor{82, 0, 133},    RgbColor{203, 56, 255},
    RgbColor{255, 149, 200}, RgbColor{255, 55, 199},
}};

const RgbColor* BoxColorFor(int label) {
  if (label < 0 || static_cast<std::size_t>(label) >= kBoxColors.size()) {
    return nullptr;
  }
  return &kBoxColors[static_cast<std::size_t>(label)];
}

const RgbColor* MaskColorFor(int label) {
  if (label < 0) {
    return nullptr;
  }
  return &kMaskColors[static_cast<std::size_t>(label) % kMaskColors.size()];
}

const std::array<const char*, kClassCount> kClassValueKeys{
    "paper",       "mask",         "thread",        "obstacle",
    "bottle",      "blood",        "person",        "reflection",
    "base",        "chair",        "waiting_bench", "escalator_entrance",
    "rod",         "coffee",       "milk",          "paper_cup",
    "plastic_bag", "carton_box",   "cotton_ball",   "medication_board",
    "swab",        "drinking_cup", "other"};

namespace {

using FieldPtr = float ClassValueRecord::*;
constexpr std::array<FieldPtr, kClassCount> kFields{
    &ClassValueRecord::paper,         &ClassValueRecord::mask,
    &ClassValueRecord::thread,        &ClassValueRecord::obstacle,
    &ClassValueRecord::bottle,        &ClassValueRecord::blood,
    &ClassValueRecord::person,        &ClassValueRecord::reflection,
    &ClassValueRecord::base,          &ClassValueRecord::chair,
    &ClassValueRecord::waiting_bench, &ClassValueRecord::escalator_entrance,
    &ClassValueRecord::rod,           &ClassValueRecord::coffee,
    &ClassValueRecord::milk,          &ClassValueRecord::paper_cup,
    &ClassValueRecord::plastic_bag,   &ClassValueRecord::carton_box,
    &ClassValueRecord::cotton_ball,   &ClassValueRecord::medication_board,
    &ClassValueRecord::swab,          &ClassValueRecord::drinking_cup,
    &ClassValueRecord::other};

// Reads the 23 class values in record order; the first absent or malformed key
// throws and leaves the record as it was.
void ReadClassValues(const std::string& path, ClassValueRecord& record) {
  const YAML::Node root = LoadConfigFile(path);
  if (!root.IsMap()) {
    throw ConfigError(path, "", "holds no mapping of class names to values");
  }
  ClassValueRecord loaded;
  for (std::size_t i = 0; i < kClassCount; ++i) {
    loaded.*kFields[i] = ReadConfig<float>(root, kClassValueKeys[i], path);
  }
  record = loaded;
}

bool WithinRange(const SizeRange& range, const std::array<double, 3>& extents) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (!(range.min[i] <= extents[i] && extents[i] <= range.max[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

float& ClassValueAt(ClassValueRecord& record, std::size_t index) {
  return record.*kFields.at(index);
}

float ClassValueAt(const ClassValueRecord& record, std::size_t index) {
  return record.*kFields.at(index);
}

float ClassValueForId(const ClassValueRecord& record, std::int32_t class_id) {
  if (class_id >= 1 && class_id <= static_cast<std::int32_t>(kClassCount) - 1) {
    return record.*kFields[static_cast<std::size_t>(class_id - 1)];
  }
  return record.other;
}

void initializeClassHeightConf(const std::string& share_dir, std::int32_t cam_id,
                               ClassValueRecord& class_height_conf) {
  const std::string path = share_dir + "/config/class_height_conf.yaml";
  LOG_DEBUG("cam_{0:d}_class_height_conf_file_path = {1:s}", cam_id, path);
  ReadClassValues(path, class_height_conf);
  for (std::size_t i = 0; i < kClassCount; ++i) {
    LOG_DEBUG(std::string("cam_{0:d}_class_height_conf_.") + kClassValueKeys[i] + " = {1:03.2f}",
              cam_id, ClassValueAt(class_height_conf, i));
  }
}

void initializeAiConf(const std::string& share_dir, std::int32_t cam_id,
                      ClassValueRecord& ai_conf) {
  const std::string path = share_dir + "/config/class_conf.yaml";
  ReadClassValues(path, ai_conf);
  for (std::size_t i = 0; i < kClassCount; ++i) {
    LOG_DEBUG(std::string("cam_{0:d}_ai_conf_.") + kClassValueKeys[i] + " = {1:03.2f}", cam_id,
              ClassValueAt(ai_conf, i));
  }
}

void initializeClassSizeRange(const std::string& share_dir, std::int32_t cam_id,
                              ClassSizeRangeMap& class_size_range_map) {
  const std::string path = share_dir + "/config/class_size_range.yaml";
  LOG_DEBUG("cam_{0:d}_class_size_range_file_path = {1:s}", cam_id, path);
  const YAML::Node root = LoadConfigFile(path);
  if (!root.IsMap()) {
    // Every size test then fails with its own warning.
    LOG_WARN("cam_{}: {} holds no mapping of class names to limits", cam_id, path);
    return;
  }
  ClassSizeRangeMap loaded;
  for (const auto& entry : root) {
    if (!entry.first.IsScalar()) {
      throw ConfigError(path, "", "a class name is not a scalar");
    }
    const std::string name = entry.first.Scalar();
    const YAML::Node limits = ConfigSection(root, name, path);
    const std::vector<double> lo = ReadConfigSequence<double>(limits, "min", 3, path, name);
    const std::vector<double> hi = ReadConfigSequence<double>(limits, "max", 3, path, name);
    SizeRange range;
    std::copy(lo.begin(), lo.end(), range.min.begin());
    std::copy(hi.begin(), hi.end(), range.max.begin());
    loaded[name] = range;
  }
  for (auto& entry : loaded) {
    class_size_range_map[entry.first] = entry.second;
  }
}

bool IsBboxWithinSizeRange(const ClassSizeRangeMap& size_range_map, std::int32_t class_index,
                           const std::array<double, 3>& extents) {
  const std::string& class_name = ClassName(ClassIdOfIndex(class_index));
  if (size_range_map.empty()) {
    LOG_WARN("class_name:{} not found in class_size_range_map !", class_name);
    return false;
  }
  // A class without limits is held to the all-zero range; the map itself stays
  // untouched so callbacks of one camera never write shared state.
  static const SizeRange kZeroRange;
  const auto it = size_range_map.find(class_name);
  return WithinRange(it == size_range_map.end() ? kZeroRange : it->second, extents);
}

bool IsBboxWithinSizeRange(const ClassSizeRangeMap& size_range_map, const TrashInfo& piece) {
  return IsBboxWithinSizeRange(size_range_map, static_cast<std::int32_t>(piece.class_id),
                               {piece.obb_size[0], piece.obb_size[1], piece.obb_size[2]});
}

void GetTrashType(std::int32_t type, std::int32_t& out) {
  switch (type) {
    case 0:
    case 16:
    case 18:
    case 19:
      out = 1;
      break;
    case 1:
      out = 2;
      break;
    case 4:
    case 15:
    case 17:
    case 20:
    case 21:
      out = 3;
      break;
    default:
      out = 4;
      break;
  }
  LOG_DEBUG("Grab trash remapped type: {}", out);
}

}  // namespace moorwick
