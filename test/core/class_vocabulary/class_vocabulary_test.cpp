// Class table, palettes, per-class records, the size-range test and the grab
// type mapping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "log_capture.hpp"
#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"

namespace moorwick {
namespace {

using test::LogCapture;

TEST(ClassTable, HoldsTheTwentyThreeClassesInIdOrder) {
  const std::vector<std::string> expected{
      "paper",     "mask",         "thread",     "obstacle",    "bottle",
      "blood",     "person",       "reflection", "base",        "chair",
      "waiting",   "escalator",    "rod",        "coffee",      "milk",
      "paper_cup", "plastic_bag",  "carton_box", "cotton_ball", "medication_board",
      "swab",      "drinking_cup", "other"};
  const auto& table = ClassTable();
  ASSERT_EQ(table.size(), expected.size());
  std::int32_t id = 1;
  for (const auto& [key, name] : table) {
    EXPECT_EQ(key, id);
    EXPECT_EQ(name, expected[static_cast<std::size_t>(id - 1)]) << "id " << id;
    ++id;
  }
}

TEST(ClassTable, ModelIndexMapsToIdPlusOne) {
  EXPECT_EQ(ClassName(ClassIdOfIndex(0)), "paper");
  EXPECT_EQ(ClassName(ClassIdOfIndex(22)), "other");
  EXPECT_EQ(ClassName(ClassIdOfIndex(23)), "");
  EXPECT_EQ(ClassIdOfIndex(std::numeric_limits<std::int32_t>::max()),
            std::numeric_limits<std::int32_t>::max());
}

TEST(ClassTable, UnknownIdsReadEmptyWithoutGrowingTheTable) {
  for (std::int32_t id : {0, -1, 24, 1000, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_EQ(ClassName(id), "") << "id " << id;
  }
  EXPECT_EQ(ClassTable().size(), kClassCount);
  EXPECT_EQ(ClassTable().count(24), 0U);
}

TEST(Palettes, StartWithTheAgreedColoursAndStayInByteRange) {
  const std::vector<RgbColor> box_head{
      {0, 114, 189},  {217, 83, 25}, {237, 177, 32}, {126, 47, 142},  {119, 172, 48},
      {77, 190, 238}, {162, 20, 47}, {76, 76, 76},   {153, 153, 153}, {255, 0, 0},
      {255, 128, 0},  {191, 191, 0}, {0, 255, 0},    {0, 0, 255},     {170, 0, 255}};
  for (std::size_t i = 0; i < box_head.size(); ++i) {
    EXPECT_EQ(kBoxColors[i], box_head[i]) << "box colour " << i;
  }
  const std::vector<RgbColor> mask_colours{
      {255, 56, 56},  {255, 157, 151}, {255, 112, 31}, {255, 178, 29},  {207, 210, 49},
      {72, 249, 10},  {146, 204, 23},  {61, 219, 134}, {26, 147, 52},   {0, 212, 187},
      {44, 153, 168}, {0, 194, 255},   {52, 69, 147},  {100, 115, 255}, {0, 24, 236},
      {132, 56, 255}, {82, 0, 133},    {203, 56, 255}, {255, 149, 200}, {255, 55, 199}};
  ASSERT_EQ(kMaskColors.size(), mask_colours.size());
  for (std::size_t i = 0; i < mask_colours.size(); ++i) {
    EXPECT_EQ(kMaskColors[i], mask_colours[i]) << "mask colour " << i;
  }
  for (const auto& colour : kBoxColors) {
    for (int channel : colour) {
      EXPECT_GE(channel, 0);
      EXPECT_LE(channel, 255);
    }
  }
}

TEST(Palettes, LookupsStayInsideThePalettes) {
  EXPECT_EQ(BoxColorFor(0), &kBoxColors[0]);
  EXPECT_EQ(BoxColorFor(79), &kBoxColors[79]);
  EXPECT_EQ(BoxColorFor(80), nullptr);
  EXPECT_EQ(BoxColorFor(-1), nullptr);
  EXPECT_EQ(MaskColorFor(25), &kMaskColors[5]);
  EXPECT_EQ(MaskColorFor(19), &kMaskColors[19]);
  EXPECT_EQ(MaskColorFor(-3), nullptr);
}

TEST(ClassValueRecord, PositionsFollowTheFieldOrder) {
  ClassValueRecord record;
  for (std::size_t i = 0; i < kClassCount; ++i) {
    ClassValueAt(record, i) = static_cast<float>(i);
  }
  EXPECT_EQ(record.paper, 0.0F);
  EXPECT_EQ(record.obstacle, 3.0F);
  EXPECT_EQ(record.base, 8.0F);
  EXPECT_EQ(record.waiting_bench, 10.0F);
  EXPECT_EQ(record.escalator_entrance, 11.0F);
  EXPECT_EQ(record.paper_cup, 15.0F);
  EXPECT_EQ(record.drinking_cup, 21.0F);
  EXPECT_EQ(record.other, 22.0F);
  EXPECT_STREQ(kClassValueKeys[10], "waiting_bench");
  EXPECT_STREQ(kClassValueKeys[11], "escalator_entrance");
  EXPECT_STREQ(kClassValueKeys[22], "other");
}

TEST(ClassValueRecord, IdsBeyondTheOwnFieldsShareTheLastOne) {
  ClassValueRecord record;
  for (std::size_t i = 0; i < kClassCount; ++i) {
    ClassValueAt(record, i) = 10.0F + static_cast<float>(i);
  }
  for (std::int32_t id = 1; id <= 22; ++id) {
    EXPECT_EQ(ClassValueForId(record, id), 10.0F + static_cast<float>(id - 1)) << "id " << id;
  }
  for (std::int32_t id : {23, 24, 0, -1, 1000}) {
    EXPECT_EQ(ClassValueForId(record, id), record.other) << "id " << id;
  }
}

class SizeRangeTest : public ::testing::Test {
protected:
  static TrashInfo Piece(std::uint8_t class_index, double a, double b, double c) {
    TrashInfo piece;
    piece.class_id = class_index;
    piece.obb_size[0] = a;
    piece.obb_size[1] = b;
    piece.obb_size[2] = c;
    return piece;
  }

  ClassSizeRangeMap map_{{"paper", SizeRange{{0.02, 0.01, 0.0}, {0.30, 0.20, 0.05}}},
                         {"bottle", SizeRange{{0.05, 0.02, 0.01}, {0.35, 0.10, 0.10}}}};
  LogCapture log_;
};

TEST_F(SizeRangeTest, BoundsAreInclusiveOnEveryAxis) {
  struct Case {
    const char* what;
    double a, b, c;
    bool inside;
  };
  const double below = std::nextafter(0.02, 0.0);
  const double above = std::nextafter(0.30, 1.0);
  const Case cases[] = {
      {"all at min", 0.02, 0.01, 0.0, true},
      {"all at max", 0.30, 0.20, 0.05, true},
      {"inside", 0.10, 0.05, 0.02, true},
      {"axis 0 just below min", below, 0.05, 0.02, false},
      {"axis 0 just above max", above, 0.05, 0.02, false},
      {"axis 1 above max", 0.10, 0.21, 0.02, false},
      {"axis 2 above max", 0.10, 0.05, 0.051, false},
      {"axis 2 negative", 0.10, 0.05, -0.001, false},
      {"NaN extent", 0.10, std::numeric_limits<double>::quiet_NaN(), 0.02, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsBboxWithinSizeRange(map_, Piece(0, c.a, c.b, c.c)), c.inside) << c.what;
    EXPECT_EQ(IsBboxWithinSizeRange(map_, 0, {c.a, c.b, c.c}), c.inside) << c.what;
  }
  EXPECT_TRUE(log_.Lines().empty()) << "a non-empty map never warns";
}

TEST_F(SizeRangeTest, EachClassUsesItsOwnRange) {
  // 0.03 across fits a bottle's second axis but its first needs at least 0.05.
  EXPECT_TRUE(IsBboxWithinSizeRange(map_, Piece(0, 0.03, 0.02, 0.01)));
  EXPECT_FALSE(IsBboxWithinSizeRange(map_, Piece(4, 0.03, 0.02, 0.01)));
  EXPECT_TRUE(IsBboxWithinSizeRange(map_, Piece(4, 0.2, 0.05, 0.05)));
}

TEST_F(SizeRangeTest, ClassWithoutEntryFailsSilentlyUnlessAllExtentsAreZero) {
  const std::size_t entries = map_.size();
  EXPECT_FALSE(IsBboxWithinSizeRange(map_, Piece(16, 0.1, 0.05, 0.01)));  // plastic_bag
  EXPECT_TRUE(IsBboxWithinSizeRange(map_, Piece(16, 0.0, 0.0, 0.0)));
  // Model index 23 has no name at all; it is treated as a class without limits.
  EXPECT_FALSE(IsBboxWithinSizeRange(map_, Piece(23, 0.1, 0.05, 0.01)));
  EXPECT_TRUE(IsBboxWithinSizeRange(map_, Piece(23, 0.0, 0.0, 0.0)));
  EXPECT_FALSE(IsBboxWithinSizeRange(map_, 255, {0.1, 0.05, 0.01}));
  EXPECT_EQ(map_.size(), entries) << "look-ups must not insert";
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(SizeRangeTest, EmptyMapWarnsWithTheClassNameAndFails) {
  const ClassSizeRangeMap empty;
  EXPECT_FALSE(IsBboxWithinSizeRange(empty, Piece(4, 0.0, 0.0, 0.0)));
  EXPECT_FALSE(IsBboxWithinSizeRange(empty, Piece(23, 0.1, 0.1, 0.1)));
  const auto lines = log_.Lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0].level, spdlog::level::warn);
  EXPECT_EQ(lines[0].text, "class_name:bottle not found in class_size_range_map !");
  EXPECT_EQ(lines[0].function, "IsBboxWithinSizeRange");
  EXPECT_EQ(lines[1].text, "class_name: not found in class_size_range_map !");
}

TEST_F(SizeRangeTest, ConcurrentLookupsAgree) {
  // Two cameras test pieces at once; under ThreadSanitizer this also proves the
  // look-ups touch no shared mutable state.
  auto work = [this](std::uint8_t class_index, bool expected, int& mismatches) {
    for (int i = 0; i < 200; ++i) {
      if (IsBboxWithinSizeRange(map_, Piece(class_index, 0.1, 0.05, 0.02)) != expected ||
          ClassName(ClassIdOfIndex(class_index)).empty() != (class_index >= 23)) {
        ++mismatches;
      }
    }
  };
  int mismatches_a = 0;
  int mismatches_b = 0;
  std::thread a(work, std::uint8_t{0}, true, std::ref(mismatches_a));
  std::thread b(work, std::uint8_t{40}, false, std::ref(mismatches_b));
  a.join();
  b.join();
  EXPECT_EQ(mismatches_a, 0);
  EXPECT_EQ(mismatches_b, 0);
  EXPECT_EQ(ClassTable().size(), kClassCount);
}

TEST(GetTrashType, MapsEveryClassIndexToItsGrabType) {
  struct Case {
    std::int32_t type;
    std::int32_t grab_type;
  };
  const Case cases[] = {{0, 1},  {16, 1},
                        {18, 1}, {19, 1},
                        {1, 2},  {4, 3},
                        {15, 3}, {17, 3},
                        {20, 3}, {21, 3},
                        {2, 4},  {3, 4},
                        {5, 4},  {6, 4},
                        {7, 4},  {8, 4},
                        {9, 4},  {10, 4},
                        {11, 4}, {12, 4},
                        {13, 4}, {14, 4},
                        {22, 4}, {-1, 4},
                        {23, 4}, {std::numeric_limits<std::int32_t>::min(), 4}};
  for (const auto& c : cases) {
    std::int32_t out = -7;
    GetTrashType(c.type, out);
    EXPECT_EQ(out, c.grab_type) << "type " << c.type;
  }
}

TEST(GetTrashType, LogsTheRemappedType) {
  LogCapture log;
  std::int32_t out = 0;
  GetTrashType(1, out);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].level, spdlog::level::debug);
  EXPECT_EQ(lines[0].text, "Grab trash remapped type: 2");
  EXPECT_EQ(lines[0].function, "GetTrashType");
}

}  // namespace
}  // namespace moorwick
