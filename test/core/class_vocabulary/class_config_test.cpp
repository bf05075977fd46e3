// The three per-class YAML loaders, against files written by the test and
// against the files the package ships.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log_capture.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"

namespace moorwick {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;

// A throw-away share directory with a config/ folder.
class ShareDir : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "moorwick_share_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    share_ = pattern;
    fs::create_directories(share_ / "config");
  }
  void TearDown() override { fs::remove_all(share_); }

  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(share_ / "config" / name) << text;
  }

  // All 23 keys, value of key i = base + i / 100, with `skip` left out and
  // `override_key` given `override_value` verbatim.
  static std::string ClassValues(float base, const std::string& skip = "",
                                 const std::string& override_key = "",
                                 const std::string& override_value = "") {
    std::ostringstream out;
    for (std::size_t i = 0; i < kClassCount; ++i) {
      const std::string key = kClassValueKeys[i];
      if (key == skip) {
        continue;
      }
      out << key << ": ";
      if (key == override_key) {
        out << override_value;
      } else {
        out << base + static_cast<float>(i) / 100.0F;
      }
      out << "\n";
    }
    return out.str();
  }

  std::string Path(const std::string& name) const { return (share_ / "config" / name).string(); }

  fs::path share_;
};

TEST_F(ShareDir, HeightConfReadsEveryKeyAndLogsPathThenValuesInOrder) {
  // Keys written in reverse order: the record follows the keys, not the file.
  std::string text = ClassValues(0.5F);
  std::istringstream lines_in(text);
  std::vector<std::string> rows;
  for (std::string row; std::getline(lines_in, row);) {
    rows.insert(rows.begin(), row);
  }
  std::string reversed;
  for (const auto& row : rows) {
    reversed += row + "\n";
  }
  Write("class_height_conf.yaml", reversed);

  LogCapture log;
  ClassValueRecord record;
  initializeClassHeightConf(share_.string(), 3, record);

  for (std::size_t i = 0; i < kClassCount; ++i) {
    EXPECT_FLOAT_EQ(ClassValueAt(record, i), 0.5F + static_cast<float>(i) / 100.0F)
        << kClassValueKeys[i];
  }
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1 + kClassCount);
  EXPECT_EQ(lines[0].text, "cam_3_class_height_conf_file_path = " + Path("class_height_conf.yaml"));
  EXPECT_EQ(lines[1].text, "cam_3_class_height_conf_.paper = 0.50");
  EXPECT_EQ(lines[11].text, "cam_3_class_height_conf_.waiting_bench = 0.60");
  EXPECT_EQ(lines[23].text, "cam_3_class_height_conf_.other = 0.72");
  for (const auto& line : lines) {
    EXPECT_EQ(line.level, spdlog::level::debug);
    EXPECT_EQ(line.function, "initializeClassHeightConf");
  }
}

TEST_F(ShareDir, AiConfLogsOnlyTheValuesWithTwoDecimals) {
  Write("class_conf.yaml", ClassValues(0.25F, "", "paper", "0.5"));
  LogCapture log;
  ClassValueRecord record;
  initializeAiConf(share_.string(), 0, record);
  EXPECT_FLOAT_EQ(record.paper, 0.5F);
  EXPECT_FLOAT_EQ(record.other, 0.47F);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), kClassCount);
  EXPECT_EQ(lines[0].text, "cam_0_ai_conf_.paper = 0.50");
  EXPECT_EQ(lines[11].text, "cam_0_ai_conf_.escalator_entrance = 0.36");
  EXPECT_EQ(lines[0].function, "initializeAiConf");
}

TEST_F(ShareDir, MissingKeyNamesTheKeyAndTheFile) {
  Write("class_conf.yaml", ClassValues(0.3F, "swab"));
  ClassValueRecord record;
  record.paper = 0.125F;
  try {
    initializeAiConf(share_.string(), 1, record);
    FAIL() << "a missing key must throw";
  } catch (const YAML::InvalidNode& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("\"swab\""), std::string::npos) << what;
    EXPECT_NE(what.find(Path("class_conf.yaml")), std::string::npos) << what;
  }
  EXPECT_EQ(record.paper, 0.125F) << "a failed load leaves the record untouched";
}

TEST_F(ShareDir, ValueThatIsNotAFloatNamesTheKey) {
  Write("class_height_conf.yaml", ClassValues(0.3F, "", "milk", "high"));
  ClassValueRecord record;
  try {
    initializeClassHeightConf(share_.string(), 1, record);
    FAIL() << "a non-float value must throw";
  } catch (const YAML::BadConversion& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("\"milk\""), std::string::npos) << what;
  }
}

TEST_F(ShareDir, MissingFileThrowsTheLibrarysBadFile) {
  ClassValueRecord record;
  EXPECT_THROW(initializeAiConf(share_.string(), 1, record), YAML::BadFile);
  EXPECT_THROW(initializeClassHeightConf(share_.string(), 1, record), YAML::BadFile);
  ClassSizeRangeMap map;
  EXPECT_THROW(initializeClassSizeRange(share_.string(), 1, map), YAML::BadFile);
}

TEST_F(ShareDir, SizeRangeReadsThreeElementsAndOverwritesExistingNames) {
  Write("class_size_range.yaml",
        "bottle:\n  min: [0.05, 0.02, 0.01, 9.0]\n  max: [0.35, 0.1, 0.1, 9.0]\n"
        "paper:\n  max: [0.3, 0.2, 0.05]\n  min: [0.02, 0.01, 0]\n");
  ClassSizeRangeMap map{{"paper", SizeRange{{1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}}},
                        {"swab", SizeRange{{0.0, 0.0, 0.0}, {0.2, 0.03, 0.03}}}};
  LogCapture log;
  initializeClassSizeRange(share_.string(), 2, map);

  ASSERT_EQ(map.size(), 3U);
  EXPECT_EQ(map.at("bottle").min, (std::array<double, 3>{0.05, 0.02, 0.01}));
  EXPECT_EQ(map.at("bottle").max, (std::array<double, 3>{0.35, 0.1, 0.1}));
  EXPECT_EQ(map.at("paper").min, (std::array<double, 3>{0.02, 0.01, 0.0}));
  EXPECT_EQ(map.at("paper").max, (std::array<double, 3>{0.3, 0.2, 0.05}));
  EXPECT_EQ(map.at("swab").max, (std::array<double, 3>{0.2, 0.03, 0.03}));
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].text, "cam_2_class_size_range_file_path = " + Path("class_size_range.yaml"));
  EXPECT_EQ(lines[0].function, "initializeClassSizeRange");
}

TEST_F(ShareDir, SizeRangeTopLevelThatIsNotAMappingAddsNothing) {
  for (const char* text : {"- paper\n- bottle\n", "just text\n", ""}) {
    Write("class_size_range.yaml", text);
    ClassSizeRangeMap map;
    EXPECT_NO_THROW(initializeClassSizeRange(share_.string(), 0, map)) << text;
    EXPECT_TRUE(map.empty()) << text;
  }
}

TEST_F(ShareDir, SizeRangeEntryErrorsNameTheClassAndElement) {
  struct Case {
    const char* text;
    const char* names;
  };
  const Case cases[] = {
      {"paper:\n  min: [0.1, 0.1, 0.1]\n", "paper.max[0]"},
      {"paper:\n  min: [0.1, 0.1]\n  max: [1, 1, 1]\n", "paper.min[2]"},
      {"paper:\n  min: [0.1, x, 0.1]\n  max: [1, 1, 1]\n", "paper.min[1]"},
      {"paper: 0.5\n", "paper.min[0]"},
  };
  for (const auto& c : cases) {
    Write("class_size_range.yaml", c.text);
    ClassSizeRangeMap map;
    try {
      initializeClassSizeRange(share_.string(), 0, map);
      ADD_FAILURE() << "no exception for:\n" << c.text;
    } catch (const YAML::Exception& e) {
      EXPECT_NE(std::string(e.what()).find(c.names), std::string::npos)
          << "expected " << c.names << " in: " << e.what();
    }
  }
}

// The files the package installs.
class ShippedConfig : public ::testing::Test {
protected:
  const std::string source_dir_ = MOORWICK_SOURCE_DIR;
};

TEST_F(ShippedConfig, ClassValueFilesLoadWithPlausibleValues) {
  ClassValueRecord heights;
  ClassValueRecord confidences;
  ASSERT_NO_THROW(initializeClassHeightConf(source_dir_, 0, heights));
  ASSERT_NO_THROW(initializeAiConf(source_dir_, 0, confidences));
  for (std::size_t i = 0; i < kClassCount; ++i) {
    EXPECT_GE(ClassValueAt(heights, i), 0.0F) << kClassValueKeys[i];
    EXPECT_LT(ClassValueAt(heights, i), 0.2F) << kClassValueKeys[i] << " metres above the floor";
    EXPECT_GT(ClassValueAt(confidences, i), 0.0F) << kClassValueKeys[i];
    EXPECT_LT(ClassValueAt(confidences, i), 1.0F) << kClassValueKeys[i];
  }
}

TEST_F(ShippedConfig, SizeRangesNameKnownClassesWithOrderedBounds) {
  ClassSizeRangeMap map;
  ASSERT_NO_THROW(initializeClassSizeRange(source_dir_, 0, map));
  ASSERT_FALSE(map.empty());
  for (const auto& [name, range] : map) {
    bool known = false;
    for (const auto& [id, class_name] : ClassTable()) {
      known = known || class_name == name;
    }
    EXPECT_TRUE(known) << name << " is not a class name";
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_LE(range.min[i], range.max[i]) << name << " axis " << i;
      EXPECT_LT(range.max[i], 0.5) << name << " axis " << i << " in metres";
    }
  }
}

TEST_F(ShippedConfig, ClassNameFileListsTheTableInModelIndexOrder) {
  std::ifstream in(source_dir_ + "/config/trash_classes.txt");
  ASSERT_TRUE(in.is_open());
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    names.push_back(line);
  }
  ASSERT_EQ(names.size(), kClassCount);
  for (std::size_t k = 0; k < names.size(); ++k) {
    EXPECT_EQ(names[k], ClassName(ClassIdOfIndex(static_cast<std::int32_t>(k)))) << "index " << k;
  }
}

}  // namespace
}  // namespace moorwick
