// Per-class tables as loaded from their files, and the size-range test.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"
#include "moorwick_test/log_capture.hpp"

namespace moorwick {
namespace {

namespace fs = boost::filesystem;
using moorwick_test::LogCapture;

class LoaderTest : public ::testing::Test {
protected:
  LoaderTest() { fs::create_directories(share_ / "config"); }
  ~LoaderTest() override { fs::remove_all(share_); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream((share_ / "config" / name).string()) << text;
  }
  fs::path share_{fs::temp_directory_path() / fs::unique_path("moorwick_share_%%%%-%%%%")};
};

TEST_F(LoaderTest, EachKeyReachesItsClassAndLaterIdsShareOther) {
  std::ostringstream text;
  for (std::size_t i = 0; i < kClassCount; ++i) {
    text << kClassValueKeys[kClassCount - 1 - i] << ": " << 0.5 + 0.01 * static_cast<double>(i)
         << "\n";  // written in reverse, so file order cannot stand in for key order
  }
  Write("class_height_conf.yaml", text.str());
  Write("class_conf.yaml", text.str());
  ClassValueRecord heights;
  ClassValueRecord scores;
  initializeClassHeightConf(share_.string(), 1, heights);
  initializeAiConf(share_.string(), 1, scores);
  for (std::int32_t id = 1; id <= 23; ++id) {
    const float expected = 0.5F + 0.01F * static_cast<float>(23 - id);
    EXPECT_FLOAT_EQ(ClassValueForId(heights, id), expected) << ClassName(id);
    EXPECT_FLOAT_EQ(ClassValueForId(scores, id), expected) << ClassName(id);
  }
  for (std::int32_t id : {24, 0, -1}) {
    EXPECT_EQ(ClassValueForId(heights, id), heights.other) << id;
  }
}

TEST_F(LoaderTest, SizeRangesReadThreeElementsAndOverwriteByName) {
  Write("class_size_range.yaml",
        "bottle:\n  min: [0.05, 0.02, 0.01, 9.0]\n  max: [0.35, 0.1, 0.1, 9.0]\n"
        "paper:\n  max: [0.3, 0.2, 0.05]\n  min: [0.02, 0.01, 0]\n");
  ClassSizeRangeMap map{{"paper", SizeRange{{1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}}},
                        {"swab", SizeRange{{0.0, 0.0, 0.0}, {0.2, 0.03, 0.03}}}};
  initializeClassSizeRange(share_.string(), 2, map);
  ASSERT_EQ(map.size(), 3U);
  EXPECT_EQ(map.at("bottle").min, (std::array<double, 3>{0.05, 0.02, 0.01}));
  EXPECT_EQ(map.at("bottle").max, (std::array<double, 3>{0.35, 0.1, 0.1}));
  EXPECT_EQ(map.at("paper").min, (std::array<double, 3>{0.02, 0.01, 0.0}));
  EXPECT_EQ(map.at("paper").max, (std::array<double, 3>{0.3, 0.2, 0.05}));
  EXPECT_EQ(map.at("swab").max, (std::array<double, 3>{0.2, 0.03, 0.03}));
}

TEST_F(LoaderTest, SizeRangeFileWithoutMappingAddsNothing) {
  Write("class_size_range.yaml", "- paper\n- bottle\n");
  ClassSizeRangeMap map;
  const LogCapture log;
  initializeClassSizeRange(share_.string(), 0, map);
  EXPECT_TRUE(map.empty());
  const auto lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& l) { return l.level == spdlog::level::warn; }),
            1);
}

class SizeRangeTest : public ::testing::Test {
protected:
  static TrashInfo Piece(std::uint8_t class_index, double a, double b, double c) {
    return {class_index, 0, 0, 0, {}, {}, {}, {a, b, c}};
  }

  ClassSizeRangeMap map_{{"paper", SizeRange{{0.02, 0.01, 0.0}, {0.30, 0.20, 0.05}}},
                         {"bottle", SizeRange{{0.05, 0.02, 0.01}, {0.35, 0.10, 0.10}}}};
  LogCapture log_;
};

TEST_F(SizeRangeTest, InclusiveBoundsOfTheClassOwnRange) {
  struct Case {  // NOLINT(clang-analyzer-optin.performance.Padding): rows read best in this order
    const char* what;
    std::uint8_t class_index;
    double a, b, c;
    bool inside;
  };
  const double below = std::nextafter(0.02, 0.0);
  const double above = std::nextafter(0.30, 1.0);
  const Case cases[] = {
      {"all at min", 0, 0.02, 0.01, 0.0, true},
      {"all at max", 0, 0.30, 0.20, 0.05, true},
      {"inside", 0, 0.10, 0.05, 0.02, true},
      {"axis 0 just below min", 0, below, 0.05, 0.02, false},
      {"axis 0 just above max", 0, above, 0.05, 0.02, false},
      {"axis 1 above max", 0, 0.10, 0.21, 0.02, false},
      {"axis 2 above max", 0, 0.10, 0.05, 0.051, false},
      {"axis 2 negative", 0, 0.10, 0.05, -0.001, false},
      {"NaN extent", 0, 0.10, std::numeric_limits<double>::quiet_NaN(), 0.02, false},
      // 0.03 across fits a bottle's second axis but its first needs at least 0.05.
      {"paper-sized bottle", 4, 0.03, 0.02, 0.01, false},
      {"bottle", 4, 0.2, 0.05, 0.05, true},
      // No entry (index 23 has no name at all): only an all-zero extent passes.
      {"plastic_bag without entry", 16, 0.1, 0.05, 0.01, false},
      {"plastic_bag of zero size", 16, 0.0, 0.0, 0.0, true},
      {"unnamed index 23", 23, 0.1, 0.05, 0.01, false},
      {"unnamed index 23 of zero size", 23, 0.0, 0.0, 0.0, true},
      {"index 255", 255, 0.1, 0.05, 0.01, false},
  };
  const std::size_t entries = map_.size();
  for (const auto& c : cases) {
    EXPECT_EQ(IsBboxWithinSizeRange(map_, Piece(c.class_index, c.a, c.b, c.c)), c.inside) << c.what;
    EXPECT_EQ(IsBboxWithinSizeRange(map_, c.class_index, {c.a, c.b, c.c}), c.inside) << c.what;
  }
  EXPECT_EQ(map_.size(), entries) << "look-ups must not insert";
  EXPECT_TRUE(log_.Lines().empty()) << "a non-empty map never warns";
}

TEST_F(SizeRangeTest, EmptyMapWarnsWithTheClassNameAndFails) {
  const ClassSizeRangeMap empty;
  EXPECT_FALSE(IsBboxWithinSizeRange(empty, Piece(4, 0.0, 0.0, 0.0)));
  EXPECT_FALSE(IsBboxWithinSizeRange(empty, Piece(23, 0.1, 0.1, 0.1)));
  const auto lines = log_.Lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0].level, spdlog::level::warn);
  EXPECT_EQ(lines[0].text, "class_name:bottle not found in class_size_range_map !");
  EXPECT_EQ(lines[1].text, "class_name: not found in class_size_range_map !");
}

}  // namespace
}  // namespace moorwick
