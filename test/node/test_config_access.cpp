// Start-up configuration errors must name the file, the key and the problem.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "moorwick_arm_trash_detect/core/config_reader.hpp"

namespace moorwick {
namespace {

class ConfigAccessTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("moorwick_config_access_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(ConfigAccessTest, ReadsEveryTypeTheNodeUses) {
  const std::string path =
      Write("ok.yaml",
            "sec:\n  f: 0.25\n  i: -3\n  u: 50\n  b: true\n  s: arm_base_link\n"
            "  e: \"\"\n  ids: [1, 2, 16]\n  names: [a, b]\n");
  const YAML::Node sec = ConfigSection(LoadConfigFile(path), "sec", path);
  EXPECT_FLOAT_EQ(ReadConfig<float>(sec, "f", path, "sec"), 0.25F);
  EXPECT_EQ(ReadConfig<int>(sec, "i", path, "sec"), -3);
  EXPECT_EQ(ReadConfig<unsigned int>(sec, "u", path, "sec"), 50U);
  EXPECT_TRUE(ReadConfig<bool>(sec, "b", path, "sec"));
  EXPECT_EQ(ReadConfig<std::string>(sec, "s", path, "sec"), "arm_base_link");
  // An empty string is a value (an empty camera_info_topic means "no intrinsics topic").
  EXPECT_EQ(ReadConfig<std::string>(sec, "e", path, "sec"), "");
  EXPECT_EQ(ReadConfig<std::vector<int>>(sec, "ids", path, "sec"), (std::vector<int>{1, 2, 16}));
  EXPECT_EQ(ReadConfig<std::vector<std::string>>(sec, "names", path, "sec"),
            (std::vector<std::string>{"a", "b"}));
}

struct BadValueCase {
  const char* name;
  const char* yaml;  // content of section "sec"
  const char* key;
  int kind;  // 0 float, 1 int, 2 unsigned, 3 bool, 4 int sequence, 5 string
  const char* expected_problem;
};

class ConfigAccessBadValue : public ConfigAccessTest,
                             public ::testing::WithParamInterface<BadValueCase> {};

TEST_P(ConfigAccessBadValue, NamesFileKeyAndProblem) {
  const BadValueCase& c = GetParam();
  const std::string path = Write("bad.yaml", std::string("sec:\n") + c.yaml);
  const YAML::Node sec = ConfigSection(LoadConfigFile(path), "sec", path);
  try {
    switch (c.kind) {
      case 0:
        ReadConfig<float>(sec, c.key, path, "sec");
        break;
      case 1:
        ReadConfig<int>(sec, c.key, path, "sec");
        break;
      case 2:
        ReadConfig<unsigned int>(sec, c.key, path, "sec");
        break;
      case 3:
        ReadConfig<bool>(sec, c.key, path, "sec");
        break;
      case 4:
        ReadConfig<std::vector<int>>(sec, c.key, path, "sec");
        break;
      default:
        ReadConfig<std::string>(sec, c.key, path, "sec");
        break;
    }
    FAIL() << "no error for " << c.name;
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), path);
    EXPECT_EQ(e.key(), std::string("sec.") + c.key);
    EXPECT_NE(e.problem().find(c.expected_problem), std::string::npos) << e.what();
    const std::string text = e.what();
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("'sec.") + c.key + "'"), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigAccessBadValue,
    ::testing::Values(
        BadValueCase{"missing", "  other: 1\n", "max_grab_radius", 0, "missing"},
        BadValueCase{"null value", "  max_grab_radius:\n", "max_grab_radius", 0, "missing"},
        BadValueCase{"text for float", "  max_grab_radius: far\n", "max_grab_radius", 0,
                     "expected number, found 'far' (line 2)"},
        BadValueCase{"fraction for int", "  detect_timeout_ms: 0.5\n", "detect_timeout_ms", 1,
                     "expected integer, found '0.5'"},
        BadValueCase{"negative for unsigned", "  min_trash_cloud_size_treshold: -1\n",
                     "min_trash_cloud_size_treshold", 2, "expected non-negative integer"},
        BadValueCase{"number for bool", "  is_debug: 2\n", "is_debug", 3, "expected bool"},
        BadValueCase{"scalar for sequence", "  trash_class_ids: 3\n", "trash_class_ids", 4,
                     "expected sequence of integers, found '3'"},
        BadValueCase{"mapping for string", "  rgb_topic: {a: 1}\n", "rgb_topic", 5,
                     "found a mapping"}),
    [](const ::testing::TestParamInfo<BadValueCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (ch == ' ')
          ch = '_';
      }
      return name;
    });

TEST_F(ConfigAccessTest, MissingFileIsNamed) {
  const std::string path = (dir_ / "absent.yaml").string();
  try {
    LoadConfigFile(path);
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), path);
    EXPECT_NE(std::string(e.what()).find("cannot be opened"), std::string::npos);
  }
}

TEST_F(ConfigAccessTest, UnparsableFileIsNamedWithLine) {
  const std::string path = Write("broken.yaml", "a: 1\nb: [1, 2\n");
  try {
    LoadConfigFile(path);
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), path);
    EXPECT_NE(e.problem().find("not valid YAML"), std::string::npos) << e.what();
  }
}

TEST_F(ConfigAccessTest, SectionMissingOrNotAMapping) {
  const std::string path = Write("sec.yaml", "camera_detection_params: 5\n");
  const YAML::Node root = LoadConfigFile(path);
  EXPECT_THROW(
      {
        try {
          ConfigSection(root, "camera_detection_params", path);
        } catch (const ConfigError& e) {
          EXPECT_EQ(e.key(), "camera_detection_params");
          EXPECT_NE(e.problem().find("expected a mapping"), std::string::npos);
          throw;
        }
      },
      ConfigError);
  EXPECT_THROW(ConfigSection(root, "moorwick_arm_trash_detect", path), ConfigError);
  const std::string list_path = Write("list.yaml", "- 1\n- 2\n");
  EXPECT_THROW(ConfigSection(LoadConfigFile(list_path), "sec", list_path), ConfigError);
}

TEST_F(ConfigAccessTest, ForeignYamlErrorsGetTheFileName) {
  const std::string path = Write("foreign.yaml", "a: text\n");
  // Code of other modules reads with yaml-cpp directly; its exceptions still
  // leave start-up with the file named.
  try {
    WithConfigFile(path, [&] { YAML::LoadFile(path)["a"].as<double>(); });
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), path);
    EXPECT_NE(e.problem().find("wrong type"), std::string::npos) << e.what();
  }
  try {
    WithConfigFile(path, [&] {
      const YAML::Node root = YAML::LoadFile(path);
      root["b"].as<double>();
    });
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_NE(e.problem().find("missing key"), std::string::npos) << e.what();
    EXPECT_NE(e.problem().find("\"b\""), std::string::npos) << e.what();
  }
  const std::string absent = (dir_ / "nothing.yaml").string();
  try {
    WithConfigFile(absent, [&] { YAML::LoadFile(absent); });
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), absent);
    EXPECT_NE(e.problem().find("cannot be opened"), std::string::npos);
  }
  // Our own errors pass through unchanged.
  try {
    WithConfigFile(path, [&] { throw ConfigError("x.yaml", "k", "missing"); });
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.file(), "x.yaml");
  }
}

}  // namespace
}  // namespace moorwick
