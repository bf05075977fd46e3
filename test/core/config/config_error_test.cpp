// Broken configuration files, one row each: the shipped file with one text
// replaced (or removed), its loader, and the error line that must come out.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_arm_trash_detect/core/config_reader.hpp"
#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_test/process.hpp"

namespace moorwick {
namespace {

namespace fs = boost::filesystem;

using moorwick_test::ReadFile;
using moorwick_test::WriteFile;

// A package share folder holding a copy of the shipped configuration, with the
// estimator's debug folders moved under it.
class ShareDir : public moorwick_test::ScratchPrefix {
public:
  ShareDir() : ScratchPrefix("config_error", MOORWICK_SOURCE_CONFIG_DIR) {
    const std::string est = File("cam1_pose_estimate_config.yaml");
    WriteFile(est, moorwick_test::Replace(ReadFile(est), "/opt/moorwick/trash_pose_detect_data/",
                                          (root() / "data").string() + "/"));
  }
  std::string share() const { return config().parent_path().string(); }
  std::string File(const std::string& name) const { return (config() / name).string(); }
};

using Loader = std::function<void(const ShareDir&)>;

void Estimator(const ShareDir& d) {
  GrabPoseEstimate estimate(d.File("cam1_pose_estimate_config.yaml"));
}
void Heights(const ShareDir& d) {
  ClassValueRecord r;
  initializeClassHeightConf(d.share(), 1, r);
}
void Scores(const ShareDir& d) {
  ClassValueRecord r;
  initializeAiConf(d.share(), 1, r);
}
void SizeRanges(const ShareDir& d) {
  ClassSizeRangeMap m;
  initializeClassSizeRange(d.share(), 1, m);
}
// The node's own files go through the same reader, key by key.
template <typename T>
Loader NodeKey(const char* file, const char* section, const char* key) {
  return [=](const ShareDir& d) {
    const std::string path = d.File(file);
    ReadConfig<T>(ConfigSection(LoadConfigFile(path), section, path), key, path, section);
  };
}
const char* const kMain = "trash_pose_detect_config.yaml";
const char* const kCam = "cam1_detect_config.yaml";
const char* const kMainSection = "moorwick_arm_trash_detect";
const char* const kCamSection = "camera_detection_params";

struct BrokenFile {
  const char* name;
  const char* file;
  const char* from;  // text of the shipped file ...
  const char* to;    // ... replaced by this; the file is removed when null
  Loader load;
  const char* expected;  // the error line after "configuration file <path>"
};

class ConfigErrorTest : public ::testing::TestWithParam<BrokenFile> {};

TEST_P(ConfigErrorTest, NamesFileKeyAndProblem) {
  const BrokenFile& c = GetParam();
  const ShareDir dir;
  if (c.to == nullptr) {
    fs::remove(dir.File(c.file));
  } else {
    std::string text = ReadFile(dir.File(c.file));
    const auto at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    WriteFile(dir.File(c.file), text.replace(at, std::strlen(c.from), c.to));
  }
  try {
    c.load(dir);
    FAIL() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), dir.File(c.file));
    EXPECT_EQ(std::string(e.what()), "configuration file " + dir.File(c.file) + c.expected);
  }
}

const char* const kEst = "cam1_pose_estimate_config.yaml";
const char* const kRange = "class_size_range.yaml";

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigErrorTest,
    ::testing::ValuesIn(std::vector<BrokenFile>{
        {"estimator_missing", kEst, "", nullptr, Estimator,
         ": cannot be opened (missing or unreadable)"},
        {"estimator_section_missing", kEst, "camera_intrinsic:", "intrinsic:", Estimator,
         ", key 'camera_intrinsic': missing"},
        {"estimator_key_missing", kEst, "  fy: 326.9", "  f_y: 326.9", Estimator,
         ", key 'camera_intrinsic.fy': missing"},
        {"estimator_float", kEst, "base_height: 0.176", "base_height: low", Estimator,
         ", key 'grab_pose_estimate.base_height': wrong type: expected number, found "
         "'low' (line 16)"},
        {"estimator_negative_count", kEst, "min_trash_cloud_size: 34", "min_trash_cloud_size: -34",
         Estimator,
         ", key 'grab_pose_estimate.min_trash_cloud_size': wrong type: expected "
         "non-negative integer, found '-34' (line 38)"},
        {"estimator_mean_k_zero", kEst, "sor2_meank_value: 50", "sor2_meank_value: 0", Estimator,
         ", key 'grab_pose_estimate.sor2_meank_value': must be between 1 and 1000"},
        {"estimator_mean_k_over", kEst, "sor2_meank_value: 50", "sor2_meank_value: 1001", Estimator,
         ", key 'grab_pose_estimate.sor2_meank_value': must be between 1 and 1000"},
        {"estimator_short_triple", kEst, "Txyz: [-0.05, 0.0, 0.30]", "Txyz: [-0.05, 0.0]",
         Estimator,
         ", key 'camera_extrinsic.Txyz': wrong type: expected a sequence of 3 (number), "
         "found a sequence (line 8)"},
        {"estimator_element", kEst, "Rxyz: [-140.0, 0.0, 90.0]", "Rxyz: [-140.0, up, 90.0]",
         Estimator,
         ", key 'camera_extrinsic.Rxyz[1]': wrong type: expected number, found 'up' (line 7)"},
        {"estimator_bool", kEst, "is_on_floor: false", "is_on_floor: 0", Estimator,
         ", key 'debug_choice.is_on_floor': wrong type: expected bool (true/false), "
         "found '0' (line 57)"},
        {"estimator_center_mode", kEst, "grab_center_mode: visible", "grab_center_mode: Fitted",
         Estimator,
         ", key 'grab_pose_estimate.grab_center_mode': unknown value 'Fitted': expected "
         "visible or fitted"},
        {"estimator_not_yaml", kEst, "Txyz: [-0.05, 0.0, 0.30]", "Txyz: [-0.05, 0.0", Estimator,
         ": not valid YAML at line 9: end of sequence flow not found"},
        {"heights_float", "class_height_conf.yaml", "bottle: 0.05", "bottle: tall", Heights,
         ", key 'bottle': wrong type: expected number, found 'tall' (line 9)"},
        {"scores_key_missing", "class_conf.yaml", "paper: 0.50", "papers: 0.50", Scores,
         ", key 'paper': missing"},
        {"scores_not_a_mapping", "class_conf.yaml", "paper: 0.50", "- 0.50", Scores,
         ": holds no mapping of class names to values"},
        {"range_short", kRange, "  min: [0.02, 0.01, 0.0]", "  min: [0.02, 0.01]", SizeRanges,
         ", key 'paper.min': wrong type: expected a sequence of 3 (number), found a "
         "sequence (line 5)"},
        {"range_max_missing", kRange, "  max: [0.30, 0.22, 0.06]", "  top: [0.30, 0.22, 0.06]",
         SizeRanges, ", key 'paper.max': missing"},
        {"range_entry_scalar", kRange,
         "paper:\n  min: [0.02, 0.01, 0.0]\n  max: [0.30, 0.22, 0.06]", "paper: 0.3", SizeRanges,
         ", key 'paper': wrong type: expected a mapping, found '0.3' (line 4)"},
        {"main_key_missing", kMain, "detect_timeout_ms: 600", "detect_timeout: 600",
         NodeKey<int>(kMain, kMainSection, "detect_timeout_ms"),
         ", key 'moorwick_arm_trash_detect.detect_timeout_ms': missing"},
        {"main_fraction_for_int", kMain, "detect_timeout_ms: 600", "detect_timeout_ms: 0.5",
         NodeKey<int>(kMain, kMainSection, "detect_timeout_ms"),
         ", key 'moorwick_arm_trash_detect.detect_timeout_ms': wrong type: expected "
         "integer, found '0.5' (line 9)"},
        {"camera_number_for_bool", kCam, "is_debug: false", "is_debug: 2",
         NodeKey<bool>(kCam, kCamSection, "is_debug"),
         ", key 'camera_detection_params.is_debug': wrong type: expected bool "
         "(true/false), found '2' (line 7)"},
        {"camera_scalar_for_ids", kCam, "trash_class_ids: [1, 2, 3, 5,",
         "trash_class_ids: 3\n  old_ids: [1, 2, 3, 5,",
         NodeKey<std::vector<int>>(kCam, kCamSection, "trash_class_ids"),
         ", key 'camera_detection_params.trash_class_ids': wrong type: expected "
         "sequence of integers, found '3' (line 33)"},
        {"camera_section_scalar", kCam, "camera_detection_params:",
         "camera_detection_params: 5\nold_params:", NodeKey<int>(kCam, kCamSection, "cam_id"),
         ", key 'camera_detection_params': wrong type: expected a mapping, found '5' (line 4)"}}),
    [](const ::testing::TestParamInfo<BrokenFile>& info) { return info.param.name; });

// Code that reads with yaml-cpp itself (the model backends) still ends start-up
// with the file named; the reader's own errors pass through unchanged.
TEST(WithConfigFile, NamesTheFileOfForeignYamlErrors) {
  const ShareDir dir;
  const std::string path = dir.File(kMain);
  const auto problem_of = [&](const std::function<void()>& step) {
    try {
      WithConfigFile(path, step);
    } catch (const ConfigError& e) {
      EXPECT_EQ(e.file(), path);
      return e.problem();
    }
    return std::string("no error");
  };
  EXPECT_EQ(problem_of([&] {
              YAML::LoadFile(path)["moorwick_arm_trash_detect"].as<double>();
            }).rfind("wrong type", 0),
            0U);
  EXPECT_EQ(problem_of([&] { YAML::LoadFile(dir.File("absent.yaml")); }), "cannot be opened");
  EXPECT_EQ(problem_of([&] { throw ConfigError(path, "k", "own"); }), "own");
}

}  // namespace
}  // namespace moorwick
