// Scratch folders and configuration files for the model library tests.
#pragma once

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "ai_moor/model/yolov8_seg.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace model_test {

// Folder of the committed tiny ONNX models.
inline std::string data_dir() {
  return MODEL_ZOO_TEST_DATA_DIR;
}

inline void expect_rect_near(const cv::Rect2f& got, const cv::Rect2f& want, float tol = 1e-3F) {
  EXPECT_NEAR(got.x, want.x, tol);
  EXPECT_NEAR(got.y, want.y, tol);
  EXPECT_NEAR(got.width, want.width, tol);
  EXPECT_NEAR(got.height, want.height, tol);
}

class ScratchDir : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(::testing::TempDir()) / "moorwick_model_zoo" /
           (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_str() const { return dir_.string(); }

  std::string write(const std::string& name, const std::string& text) const {
    const auto path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  std::filesystem::path dir_;
};

// What constructing a model from cfg throws; empty if it does not throw.
inline std::string construction_error(const std::string& cfg) {
  try {
    ai_moor::model::YOLOv8Seg model(cfg);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace model_test
