// The configuration loaders on arbitrary YAML: the estimator file, the three
// per-class tables and the model file (colour-key backend). A loader may
// refuse a file with an exception derived from std::exception (YAML errors
// included); anything else (a crash, a hang, another exception) is a finding.
// The first byte picks the loader, the rest is the file.
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "ai_moor/model/yolov8_seg.hpp"
#include "fuzz_support.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"

namespace fs = boost::filesystem;

namespace {

enum Loader : std::uint8_t { kEstimator, kClassHeight, kAiConf, kSizeRange, kModel, kLoaderCount };

const char* const kTableFiles[] = {"", "class_height_conf.yaml", "class_conf.yaml",
                                   "class_size_range.yaml"};

// The estimator creates its debug folders from folder_path + trash_code; keep
// them inside the scratch directory whatever the file says. The file is fed
// as given unless it names those folders.
std::string ConfineFolders(const std::string& text) {
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception&) {
    return text;  // the loader must refuse it as well
  }
  if (!root.IsMap()) {
    return text;
  }
  YAML::Node debug = root["debug_choice"];
  if (!debug.IsMap()) {
    return text;
  }
  debug["folder_path"] = (moorwick_fuzz::Scratch() / "data").string() + "/";
  const YAML::Node code = debug["trash_code"];
  if (code.IsDefined() && (!code.IsScalar() || code.Scalar().find('/') != std::string::npos ||
                           code.Scalar().find("..") != std::string::npos)) {
    debug["trash_code"] = "fz_";
  }
  YAML::Emitter out;
  out << root;
  return out.good() ? std::string(out.c_str()) : std::string();
}

void RunEstimator(const std::string& text) {
  const std::string confined = ConfineFolders(text);
  const fs::path path = moorwick_fuzz::Scratch() / "estimator.yaml";
  moorwick_fuzz::WriteFile(path, confined.data(), confined.size());
  try {
    moorwick::GrabPoseEstimate est(path.string());
    FUZZ_CHECK(!est.data_folder_.empty(), "loaded without a data folder");
  } catch (const moorwick::ConfigError& e) {
    FUZZ_CHECK(std::string(e.what()).find(path.string()) != std::string::npos,
               "error does not name the file: %s", e.what());
  } catch (const std::exception&) {
    // boost::filesystem errors for folders that cannot be made.
  }
  boost::system::error_code ignored;
  fs::remove_all(moorwick_fuzz::Scratch() / "data", ignored);
}

void RunTable(Loader which, const std::string& text) {
  const fs::path share = moorwick_fuzz::Scratch() / "share";
  fs::create_directories(share / "config");
  moorwick_fuzz::WriteFile(share / "config" / kTableFiles[which], text.data(), text.size());
  try {
    if (which == kSizeRange) {
      moorwick::ClassSizeRangeMap map;
      map["keep"] = moorwick::SizeRange{};
      moorwick::initializeClassSizeRange(share.string(), 1, map);
      FUZZ_CHECK(!map.empty(), "the loader dropped an entry it did not overwrite");
      return;
    }
  } catch (const std::exception&) {
    return;  // ConfigError is a std::runtime_error: a refusal, fine.
  }
  // A per-class table is all or nothing: a refused file leaves the record as it was.
  moorwick::ClassValueRecord record;
  for (std::size_t i = 0; i < moorwick::kClassCount; ++i) {
    moorwick::ClassValueAt(record, i) = -7.0F - static_cast<float>(i);
  }
  const moorwick::ClassValueRecord before = record;
  try {
    if (which == kClassHeight) {
      moorwick::initializeClassHeightConf(share.string(), 1, record);
    } else {
      moorwick::initializeAiConf(share.string(), 1, record);
    }
  } catch (const std::exception&) {
    for (std::size_t i = 0; i < moorwick::kClassCount; ++i) {
      FUZZ_CHECK(moorwick::ClassValueAt(record, i) == moorwick::ClassValueAt(before, i),
                 "field %zu changed by a refused file", i);
    }
  }
}

void RunModel(const std::string& text) {
  // Only the colour-key backend: an onnx file would make the loader read
  // whatever path the input names.
  try {
    const YAML::Node root = YAML::Load(text);
    if (root.IsMap() && root["backend"].IsScalar() && root["backend"].Scalar() == "onnx") {
      return;
    }
  } catch (const YAML::Exception&) {
  }
  const fs::path path = moorwick_fuzz::Scratch() / "model.yaml";
  moorwick_fuzz::WriteFile(path, text.data(), text.size());
  try {
    ai_moor::model::YOLOv8Seg model(path.string());
    // A model that loads must also run: a small image with a patch of each hue.
    cv::Mat image(24, 32, CV_8UC3, cv::Scalar(128, 128, 128));
    for (int i = 0; i < 6; ++i) {
      const cv::Scalar colours[] = {{220, 40, 40}, {40, 80, 220},  {230, 200, 40},
                                    {40, 200, 60}, {170, 50, 200}, {40, 200, 200}};
      image(cv::Rect(5 * i, 4 * (i % 4), 5, 6)).setTo(colours[i]);
    }
    std::vector<ai_moor::model::SegObject> objects;
    const int n = model.detect(image, objects);
    FUZZ_CHECK(n == static_cast<int>(objects.size()), "count %d for %zu objects", n,
               objects.size());
    for (const auto& o : objects) {
      FUZZ_CHECK(o.mask.type() == CV_8UC1 && o.mask.size() == image.size(), "bad mask");
      FUZZ_CHECK(o.label >= 0 && o.prob > 0.0F && o.prob <= 1.0F, "label %d score %g", o.label,
                 static_cast<double>(o.prob));
      FUZZ_CHECK(o.rect.x >= 0.0F && o.rect.y >= 0.0F &&
                     o.rect.x + o.rect.width <= static_cast<float>(image.cols) &&
                     o.rect.y + o.rect.height <= static_cast<float>(image.rows),
                 "box outside the image");
    }
  } catch (const std::exception&) {
    // runtime_error naming the file: a refusal.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const auto which = static_cast<Loader>(data[0] % kLoaderCount);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (which) {
    case kEstimator:
      RunEstimator(text);
      break;
    case kModel:
      RunModel(text);
      break;
    default:
      RunTable(which, text);
      break;
  }
  return 0;
}
