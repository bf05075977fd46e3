// Grab-point accuracy on rendered litter: boxes, cans, bottles and flat paper,
// lying, diagonal and standing, 0.35-0.75 m from the arm, each rendered with
// depth noise at 640x360, 848x480 and 1280x720 and estimated in both grab
// centre modes. The fitted centre must lie within 5 mm of the solid's centre
// horizontally, and move by at most 2 mm between resolutions. The table of
// both modes is printed and written to grab_centre_accuracy.md (or the file
// named by MOORWICK_ACCURACY_TABLE).
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"
#include "moorwick_sim/scene_file.hpp"
#include "moorwick_test/scene_pipeline.hpp"

namespace moorwick_test {
namespace {

using moorwick::GrabPoseEstimate;
using moorwick_sim::PinholeCamera;
using moorwick_sim::Shape;

const std::string kSource = MOORWICK_SOURCE_DIR;
constexpr double kFittedLimitMm = 5.0;
constexpr double kSpreadLimitMm = 2.0;

enum Class { kPaper = 0, kBottle = 4, kCoffee = 13, kCarton = 17 };

struct PieceSpec {
  const char* name;
  Class class_index;
  bool cylinder;
  Eigen::Vector3d size;  // box: x, y, z extents; cylinder: diameter, length, unused
  Eigen::Vector3d axis;  // cylinder axis; box: roll, pitch, yaw in degrees
  double radius_m;       // horizontal distance from the arm base
  double angle_deg;      // from -x towards +y, as the workspace angle
};

// clang-format off
const std::vector<PieceSpec> kPieces = {
  {"carton lying",           kCarton, false, {0.12, 0.06, 0.04},  {0, 0, 0},     0.40,   0},
  {"carton diagonal 30",     kCarton, false, {0.12, 0.06, 0.04},  {0, 0, 30},    0.50,  15},
  {"carton diagonal 45",     kCarton, false, {0.12, 0.06, 0.04},  {0, 0, 45},    0.60, -20},
  {"carton 10x7x5 yaw 60",   kCarton, false, {0.10, 0.07, 0.05},  {0, 0, 60},    0.70,  10},
  {"carton flat yaw 90",     kCarton, false, {0.15, 0.08, 0.03},  {0, 0, 90},    0.45, -30},
  {"carton standing",        kCarton, false, {0.06, 0.06, 0.11},  {0, 0, 0},     0.50,  25},
  {"carton standing yaw 30", kCarton, false, {0.07, 0.05, 0.12},  {0, 0, 30},    0.65, -10},
  {"carton big yaw 120",     kCarton, false, {0.20, 0.10, 0.06},  {0, 0, 120},   0.55,   0},
  {"carton far yaw 135",     kCarton, false, {0.12, 0.06, 0.04},  {0, 0, 135},   0.73,   0},
  {"can lying along x",      kCoffee, true,  {0.066, 0.115, 0},   {1, 0, 0},     0.40, -15},
  {"can diagonal",           kCoffee, true,  {0.066, 0.115, 0},   {1, 1, 0},     0.50,  20},
  {"can across view",        kCoffee, true,  {0.066, 0.115, 0},   {0, 1, 0},     0.60,   0},
  {"slim can diagonal",      kCoffee, true,  {0.053, 0.133, 0},   {1, -0.5, 0},  0.70, -25},
  {"can standing",           kCoffee, true,  {0.066, 0.115, 0},   {0, 0, 1},     0.45,  30},
  {"slim can standing",      kCoffee, true,  {0.053, 0.133, 0},   {0, 0, 1},     0.62,  -5},
  {"thin can lying",         kCoffee, true,  {0.045, 0.14, 0},    {1, 0.5, 0},   0.55,   0},
  {"can diagonal near",      kCoffee, true,  {0.066, 0.115, 0},   {1, -1, 0},    0.35,  10},
  {"slim can standing near", kCoffee, true,  {0.053, 0.133, 0},   {0, 0, 1},     0.35,   0},
  {"bottle along x",         kBottle, true,  {0.065, 0.20, 0},    {1, 0, 0},     0.45,   0},
  {"bottle diagonal 0.64",   kBottle, true,  {0.065, 0.20, 0},    {1, 1, 0},     0.64,   0},
  {"bottle across view",     kBottle, true,  {0.065, 0.20, 0},    {0, 1, 0},     0.55, -20},
  {"bottle diagonal far",    kBottle, true,  {0.065, 0.20, 0},    {1, -0.6, 0},  0.70,  15},
  {"small bottle standing",  kBottle, true,  {0.06, 0.15, 0},     {0, 0, 1},     0.40, -14},
  {"bottle standing",        kBottle, true,  {0.065, 0.20, 0},    {0, 0, 1},     0.55,  20},
  {"big bottle diagonal",    kBottle, true,  {0.075, 0.25, 0},    {1, 0.8, 0},   0.60, -30},
  {"bottle near",            kBottle, true,  {0.065, 0.20, 0},    {1, 0.3, 0},   0.38,  25},
  {"bottle standing far",    kBottle, true,  {0.065, 0.20, 0},    {0, 0, 1},     0.70, -20},
  {"paper 10x8",             kPaper,  false, {0.10, 0.08, 0.01},  {0, 0, 10},    0.45,   0},
  {"paper 12x9 thin",        kPaper,  false, {0.12, 0.09, 0.005}, {0, 0, 40},    0.55, -20},
  {"paper square",           kPaper,  false, {0.08, 0.08, 0.01},  {0, 0, 0},     0.65,  20},
  {"paper 15x10 far",        kPaper,  false, {0.15, 0.10, 0.008}, {0, 0, 70},    0.72,  -5},
  {"paper small near",       kPaper,  false, {0.09, 0.06, 0.006}, {0, 0, -30},   0.38,  30},
  {"paper A6",               kPaper,  false, {0.148, 0.105, 0.005}, {0, 0, 20},  0.60,  10},
  {"paper diagonal near",    kPaper,  false, {0.10, 0.08, 0.01},  {0, 0, 45},    0.35, -10},
};
// clang-format on

const std::vector<cv::Size> kResolutions = {{640, 360}, {848, 480}, {1280, 720}};

// The demo camera (pose and 640x360 intrinsics) at another resolution: the
// same field of view, focal lengths and centre scaled with the width.
PinholeCamera CameraAt(const PinholeCamera& base, const cv::Size& r) {
  const double s = static_cast<double>(r.width) / static_cast<double>(base.width);
  return {base.fx * s, base.fy * s, (base.cx + 0.5) * s - 0.5, (base.cy + 0.5) * s - 0.5,
          r.width,     r.height,    base.base_from_camera};
}

moorwick_sim::ScenePiece MakePiece(const PieceSpec& row, double floor_z) {
  const double a = row.angle_deg * 3.141592653589793 / 180.0;
  const Eigen::Vector3d at(-row.radius_m * std::cos(a), row.radius_m * std::sin(a), 0.0);
  const Shape shape = row.cylinder ? Shape::Cylinder(row.size.x(), row.size.y(), at, row.axis)
                                   : Shape::Box(row.size, at, row.axis);
  return {row.name, row.class_index, "", shape.RestingOn(floor_z)};
}

// Largest horizontal distance between any two grab points (mm).
double Spread(const std::vector<Eigen::Vector3d>& grabs) {
  double worst = 0.0;
  for (const auto& a : grabs) {
    for (const auto& b : grabs) {
      worst = std::max(worst, 1000.0 * (a - b).head<2>().norm());
    }
  }
  return worst;
}

class GrabCentreAccuracy : public ::testing::Test {
protected:
  void SetUp() override {
    scene_ = moorwick_sim::LoadSceneFile(kSource + "/config/demo/scene.yaml");
    temp_ = std::filesystem::temp_directory_path() /
            ("moorwick_grab_centre_" + std::to_string(::getpid()));
    std::filesystem::create_directories(temp_);
    for (const char* mode : {"visible", "fitted"}) {
      YAML::Node root = YAML::LoadFile(kSource + "/config/demo/demo_pose_estimate_config.yaml");
      root["debug_choice"]["folder_path"] = temp_.string() + "/";
      root["grab_pose_estimate"]["grab_center_mode"] = mode;
      const std::string path = (temp_ / (std::string(mode) + ".yaml")).string();
      std::ofstream(path) << root;
      estimators_.push_back(std::make_unique<GrabPoseEstimate>(path));
    }
  }
  void TearDown() override { std::filesystem::remove_all(temp_); }

  moorwick_sim::SceneFile scene_;
  std::filesystem::path temp_;
  std::vector<std::unique_ptr<GrabPoseEstimate>> estimators_;  // visible, fitted
};

TEST_F(GrabCentreAccuracy, FittedCentreWithinFiveMillimetresAtEveryResolution) {
  ASSERT_EQ(estimators_[1]->grab_center_mode_, moorwick::GrabCenterMode::kFitted);
  std::ostringstream table;
  table << std::fixed << std::setprecision(1)
        << "| piece | type | visible 640 | visible 848 | visible 1280 | fitted 640 | fitted 848 "
           "| fitted 1280 | spread visible | spread fitted |\n"
        << "|---|---|---|---|---|---|---|---|---|---|\n";
  double worst[2] = {0.0, 0.0};
  double worst_spread[2] = {0.0, 0.0};
  std::uint32_t seed = 100;
  for (const PieceSpec& row : kPieces) {
    SCOPED_TRACE(row.name);
    moorwick_sim::SceneDescription scene = scene_.scene;
    scene.pieces = {MakePiece(row, scene.floor_z)};
    moorwick_sim::RenderOptions options = scene_.render;
    options.seed = ++seed;
    std::vector<Eigen::Vector3d> grabs[2];
    std::ostringstream cells[2];
    int type = 0;
    for (const cv::Size& res : kResolutions) {
      SCOPED_TRACE(res.width);
      scene.camera = CameraAt(scene_.scene.camera, res);
      const moorwick_sim::RenderedFrame frame = moorwick_sim::RenderScene(scene, options);
      ASSERT_GT(frame.truth[0].depth_pixels, 100);
      type = frame.truth[0].main_axis_type;
      for (int m = 0; m < 2; ++m) {
        const PieceEstimate e =
            EstimatePiece(frame.depth, scene.camera, *estimators_[static_cast<std::size_t>(m)],
                          TruthDetection(frame, 0));
        ASSERT_EQ(e.cut, moorwick::TrashCloudStatus::kOk);
        grabs[m].push_back(e.position);
        cells[m] << std::fixed << std::setprecision(1) << " | ";
        if (e.result != GrabPoseEstimate::kSuccess) {
          cells[m] << "code " << e.result;
          EXPECT_EQ(m, 0) << "fitted mode failed with code " << e.result;
          continue;
        }
        const double h = moorwick_sim::CompareGrab(frame.truth[0], e.position).horizontal_mm;
        cells[m] << h;
        worst[m] = std::max(worst[m], h);
        EXPECT_TRUE(m == 0 || h <= kFittedLimitMm) << "fitted " << e.position.transpose();
      }
    }
    table << "| " << row.name << " | " << type << cells[0].str() << cells[1].str();
    for (int m = 0; m < 2; ++m) {
      worst_spread[m] = std::max(worst_spread[m], Spread(grabs[m]));
      table << " | " << Spread(grabs[m]);
    }
    table << " |\n";
    EXPECT_LE(Spread(grabs[1]), kSpreadLimitMm);
  }
  table << "\nworst horizontal error (mm): visible " << worst[0] << ", fitted " << worst[1]
        << "\nworst horizontal spread over the resolutions (mm): visible " << worst_spread[0]
        << ", fitted " << worst_spread[1] << "\n";
  std::cout << table.str();
  const char* out = std::getenv("MOORWICK_ACCURACY_TABLE");  // NOLINT(concurrency-mt-unsafe)
  std::ofstream(out != nullptr ? out : "grab_centre_accuracy.md") << table.str();
}

}  // namespace
}  // namespace moorwick_test
